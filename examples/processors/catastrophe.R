#!/usr/bin/env Rscript
# An external processor for Velmar Manager, in base R with jsonlite: at the
# start of every time step each population may meet a catastrophe that
# kills a share of it.
#
#   catastrophe.R [--probability=P] [--severity=S] [--seed=N] [--log=FILE] [--close=WORD]
#
# Each engine reports its abundances when it stops a time step
# ("VelmarStateVarsPop": {"Timestep": t, "Abund": [[n, ...], ...], ...}).
# When it starts step t + 1, a draw decides whether a catastrophe strikes
# it: with probability P (default 0.2) every stage count is multiplied by
# 1 - S (default 0.5) and rounded down, and the engine is handed those
# abundances. The draw for engine c and step t uses the seed N + 1000 t + c,
# so a run strikes the same engines at the same steps whatever order the
# calls come in. Every other call gets the reply the manager itself gives.
#
# One request line in, exactly one reply line out; nothing else may go to
# standard output (messages go to standard error). --log appends one JSON
# line per catastrophe: {"client", "timestep", "abund"}.
suppressPackageStartupMessages(library(jsonlite))

option <- function(name, default) {
  args <- commandArgs(trailingOnly = TRUE)
  prefix <- paste0("--", name, "=")
  hit <- args[startsWith(args, prefix)]
  if (length(hit) == 0) default else substring(hit[length(hit)], nchar(prefix) + 1)
}

probability <- as.numeric(option("probability", "0.2"))
severity <- as.numeric(option("severity", "0.5"))
seed <- as.numeric(option("seed", "1"))
log_file <- option("log", "")
close_command <- option("close", "QUIT")

# The id a reply carries: a whole number (also one sent as a digit string)
# comes back as a number, anything else as it was.
reply_id <- function(id) {
  if (is.null(id)) return(NULL)
  if (is.character(id) && grepl("^[+-]?[0-9]+$", id)) return(as.numeric(id))
  id
}

reply <- function(request, result) {
  id <- reply_id(request$id)
  answer <- list(jsonrpc = "2.0", id = if (is.null(id)) NA else id)
  if (!is.null(result)) answer$result <- result
  toJSON(answer, auto_unbox = TRUE, digits = NA, null = "null", na = "null")
}

modifier_result <- function(abund = NULL, timestep = 0) {
  changed <- !is.null(abund)
  list(modifier = list(ChangeAbund = changed, ChangeVital = FALSE, ChangeK = FALSE, ChangeDisp = FALSE,
                       Timestep = timestep, Complete = changed, Active = changed,
                       Abund = if (changed) abund else list(), Vital = list(), K = list(), Disp = list()),
       result = TRUE)
}

# The reply the manager gives a call itself (see docs/processor-protocol.md).
default_result <- function(method, params) {
  if (!is.list(params) || is.null(names(params)) || !("ClientID" %in% names(params))) return(FALSE)
  switch(tolower(method),
         echo = if ("Value" %in% names(params)) params$Value else 0L,
         initialize = TRUE, finalize = TRUE, stopsimulation = TRUE,
         startsimulation = "VelmarStateVarsGlobal" %in% names(params),
         stoptimestep = "VelmarStateVarsPop" %in% names(params),
         starttimestep = modifier_result(),
         NULL)
}

reported <- list()  # client id (as text) -> list(timestep, abund)

answer <- function(line) {
  request <- tryCatch(fromJSON(line, simplifyVector = FALSE), error = function(e) NULL)
  if (!is.list(request)) {
    return(toJSON(list(jsonrpc = "2.0", id = NA, error = list(code = -32700L, message = "Parse error")),
                  auto_unbox = TRUE, na = "null"))
  }
  if (is.null(request$method)) {
    id <- reply_id(request$id)
    return(toJSON(list(jsonrpc = "2.0", id = if (is.null(id)) NA else id,
                       error = list(code = -32600L, message = "Method is missing")),
                  auto_unbox = TRUE, digits = NA, na = "null"))
  }
  method <- as.character(request$method)
  params <- request$params
  result <- default_result(method, params)
  client <- if (is.list(params)) params$ClientID else NULL
  if (!is.null(client)) {
    key <- as.character(client)
    if (tolower(method) == "stoptimestep" && is.list(params$VelmarStateVarsPop)) {
      pop <- params$VelmarStateVarsPop
      reported[[key]] <<- list(timestep = as.numeric(pop$Timestep), abund = pop$Abund)
    } else if (tolower(method) == "starttimestep" && !is.null(reported[[key]])) {
      last <- reported[[key]]
      step <- last$timestep + 1
      set.seed(seed + 1000 * step + as.numeric(client))
      if (runif(1) < probability) {
        abund <- lapply(last$abund, function(row) lapply(unlist(row), function(n) floor(n * (1 - severity))))
        result <- modifier_result(abund, step)
        if (nzchar(log_file)) {
          cat(toJSON(list(client = client, timestep = step, abund = abund), auto_unbox = TRUE, digits = NA),
              "\n", sep = "", file = log_file, append = TRUE)
        }
        message("catastrophe.R: catastrophe at engine ", client, " in step ", step)
      }
    }
  }
  reply(request, result)
}

input <- file("stdin", open = "r")
repeat {
  line <- readLines(input, n = 1, warn = FALSE)
  if (length(line) == 0) break  # end of input: the manager has closed the pipe
  line <- sub("\r$", "", line)
  if (trimws(line) == close_command) break
  out <- tryCatch(answer(line), error = function(e) {
    message("catastrophe.R: ", conditionMessage(e), " while answering ", line)
    '{"id":null,"error":{"message":"Internal error","code":-32603},"jsonrpc":"2.0"}'
  })
  writeLines(out, stdout())
  flush(stdout())
}
