// A stand-in engine that follows a script, so that a test can hold each
// engine at any point of its run and read the window meanwhile. Launched
// by the manager like the real engine:
//   ui_scripted_engine /RUN=YES /RPC=PIPE /RPCID=N "SCRIPT" /RpcResponseTimeout=S
// (the script is the one argument without "=")
// The script has one command a line:
//   say TEXT      TEXT to standard output      warn TEXT   ... to standard error
//   gate NAME     wait until a file NAME exists beside the script (at most a minute)
//   call METHOD   a call with this engine's ClientID (and the members the
//                 manager requires for StartSimulation and StopTimeStep)
//   work MS       spend MS milliseconds (a step's known work)
//   steps N MS    N time steps, each "StartTimeStep", MS ms of work, "StopTimeStep";
//                 then "work: W ms a step" to standard output, W the mean of
//                 what the work took (a loaded machine may make it longer)
//   exit N        end at once with status N
//   logs          "log descriptors:" and the numbers of its descriptors open
//                 on a file named *.log, to standard output
// At the end of the script it exits with 1 when some reply was false (the
// run was cancelled), else 0.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "client/VelmarClient.h"

namespace {

std::string OptionValue(const std::string& arg, const std::string& name) {
  return arg.compare(0, name.size(), name) == 0 ? arg.substr(name.size()) : std::string();
}

bool IsFalseReply(const nlohmann::json& reply) {
  if (!reply.is_object() || !reply.contains("result")) return true;
  const nlohmann::json& r = reply["result"];
  if (r.is_boolean()) return !r.get<bool>();
  if (r.is_object() && r.contains("result") && r["result"].is_boolean()) return !r["result"].get<bool>();
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::string pipe, script;
  int id = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (const std::string v = OptionValue(arg, "/RPC="); !v.empty()) pipe = v;
    else if (const std::string v = OptionValue(arg, "/RPCID="); !v.empty()) id = std::stoi(v);
    else if (arg.find('=') == std::string::npos) script = arg;
  }
  std::ifstream in(script);
  if (pipe.empty() || id < 0 || !in) {
    std::cerr << "ui_scripted_engine: bad command line or script\n";
    return 2;
  }
  const std::filesystem::path folder = std::filesystem::path(script).parent_path();
  TVelmarClient client;
  bool cancelled = false;
  try {
    client.Connect(pipe, 60000);
    std::string line;
    while (std::getline(in, line)) {
      const size_t blank = line.find(' ');
      const std::string command = line.substr(0, blank);
      const std::string rest = blank == std::string::npos ? std::string() : line.substr(blank + 1);
      if (command == "say") {
        std::cout << rest << std::endl;
      } else if (command == "warn") {
        std::cerr << rest << std::endl;
      } else if (command == "gate") {
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (!std::filesystem::exists(folder / rest) && std::chrono::steady_clock::now() < until)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
      } else if (command == "call") {
        nlohmann::json params = {{"ClientID", id}};
        if (rest == "StartSimulation") params["VelmarStateVarsGlobal"] = nlohmann::json::object();
        if (rest == "StopTimeStep") params["VelmarStateVarsPop"] = nlohmann::json::object();
        if (IsFalseReply(client.Call(rest, params, 60000))) cancelled = true;
      } else if (command == "work") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(rest)));
      } else if (command == "steps") {
        const size_t blank2 = rest.find(' ');
        const int count = std::stoi(rest.substr(0, blank2));
        const int ms = blank2 == std::string::npos ? 0 : std::stoi(rest.substr(blank2 + 1));
        std::chrono::steady_clock::duration worked{};
        for (int step = 0; step < count; ++step) {
          if (IsFalseReply(client.Call("StartTimeStep", {{"ClientID", id}}, 60000))) cancelled = true;
          const auto began = std::chrono::steady_clock::now();
          std::this_thread::sleep_for(std::chrono::milliseconds(ms));
          worked += std::chrono::steady_clock::now() - began;
          const nlohmann::json stop = {{"ClientID", id}, {"VelmarStateVarsPop", nlohmann::json::object()}};
          if (IsFalseReply(client.Call("StopTimeStep", stop, 60000))) cancelled = true;
        }
        if (count > 0)
          std::cout << "work: " << std::chrono::duration<double, std::milli>(worked).count() / count << " ms a step"
                    << std::endl;
      } else if (command == "logs") {
        std::string line = "log descriptors:";
        for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
          std::error_code ec;
          const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
          if (target.size() > 4 && target.compare(target.size() - 4, 4, ".log") == 0)
            line += " " + fd.path().filename().string();
        }
        std::cout << line << std::endl;
      } else if (command == "exit") {
        std::_Exit(std::stoi(rest));
      }
    }
  } catch (const std::exception& e) {
    std::cerr << "ui_scripted_engine: " << e.what() << "\n";
    return 4;
  }
  return cancelled ? 1 : 0;
}
