#pragma once
// The settings a run uses, and when it reads them. Most are read once, as
// the run starts, into a TRunSettings the run keeps: a change on the
// Settings tab while it goes applies from the next run, and a run never
// launches half its engines with one program and half with another. The
// time-step time-out is read anew at every check (and so is the processor
// switch behind every debug line of the engine calls): the user may lengthen
// it while engines are held.
#include <cstdint>
#include <string>

struct TRunSettings {
  std::string VelmarFilename;
  std::string VelmarOptions;
  bool VelmarSpecifiedOptionsOnly = false;
  uint32_t VelmarStartTimeout = 0;
  bool UseExternalProcessor = false;
  std::string ExternalProcessorFilename;
  std::string ExternalProcessorParameters;
  std::string ExternalProcessorEnvironment;
  // The [Record] Variables filter of the states file.
  std::string RecordVariables;

  // The settings as they are now.
  static TRunSettings Read();
};

// The engine's reply time-out (its /RpcResponseTimeout): the time-step
// time-out plus 2 seconds, so that an engine waits for the reply to a held
// call a little longer than the manager holds it. The manager gives its
// own waits on an engine's or the processor's answer the same length. Read
// anew each time, as the time-step time-out is.
uint32_t EngineReplyTimeoutSeconds();
