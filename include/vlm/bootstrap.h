// The engine's bootstrap interface.
//
// tarvelin loads the engine library and calls its exported entry point
// ZOV_GetBootstrap with the address of a pointer it has set to null. The
// engine stores a new Bootstrap object there (or leaves it null when it offers
// none). From then on tarvelin owns the object and ends its life only through
// Release; it never deletes it.
//
// The launcher calls, in one process:
//   EngineInit once, right after the object is obtained; then
//   browser, application-file and shell modes: RecordStartupEvent(1, start),
//     PrepareMainProcess, at most one of RunApplication and RunShell,
//     EngineTerm, Release;
//   content-process mode: SetChildProcessArgument, RunChildProcess,
//     EngineTerm; Release runs at process exit.
// All calls are made on the main thread. Records passed by address belong to
// the launcher and live for the duration of the call.
//
// The order of the virtual operations is the table layout the launcher binds
// to: an engine must keep it. Slots the launcher never calls are kept as
// placeholders with empty bodies, so Release is the third slot and
// RunApplication the eighth. The class has no virtual destructor on purpose
// (it would take table slots): an engine destroys its object in Release.
#ifndef VLM_BOOTSTRAP_H_
#define VLM_BOOTSTRAP_H_

#include <cstdint>

#include "vlm/time_stamp.h"

// The application data compiled into tarvelin, passed to the engine in browser
// mode. Texts are NUL-terminated or null. The launcher itself reads none of it.
struct BuiltinAppData {
  const char* vendor;            // "Tarvelin"
  const char* name;              // "Tarvelin"
  const char* remotingName;      // "tarvelin-vintage"
  const char* version;           // the product version
  const char* buildId;           // 14 digits: build date and time
  const char* appId;             // "{5a1f0c3e-7d2b-4e8a-9c61-0f4b3d2e8a17}"
  const char* copyright;         // null
  uint32_t flags;                // 2
  const char* minEngineVersion;  // the product version
  const char* maxEngineVersion;  // the product version
  const char* crashReportUrl;    // "" (empty, not null)
  const char* profileName;       // "Tarvelin"
  const char* userAgentName;     // null
};

// What RunApplication runs: the compiled-in record with appLocation "browser",
// or (builtinAppData null) the application data file at appLocation.
struct LaunchConfig {
  const BuiltinAppData* builtinAppData;
  const char* appLocation;
};

// Options of RunShell and RunChildProcess; the launcher fills in nothing.
struct ShellOptions {};
struct ChildOptions {};

class Bootstrap {
 public:
  virtual void Unused0() {}
  virtual void Unused1() {}
  // Destroys the object; the launcher does not touch it again.
  virtual void Release() = 0;
  virtual void EngineInit() = 0;
  virtual void EngineTerm() = 0;
  virtual void Unused5() {}
  // `event` is always 1 (process start); `when` is the launcher's first time
  // stamp.
  virtual void RecordStartupEvent(uint32_t event, vellum::TimeStamp when) = 0;
  // Returns the process's exit status.
  virtual int32_t RunApplication(int argc, char** argv, const LaunchConfig* config) = 0;
  virtual void Unused8() {}
  // Returns the process's exit status.
  virtual int32_t RunShell(int argc, char** argv, char** envp, const ShellOptions* options) = 0;
  virtual void Unused10() {}
  // `argument` is the last argument of the content process's command line.
  virtual void SetChildProcessArgument(const char* argument) = 0;
  // Negative means failure.
  virtual int32_t RunChildProcess(int argc, char** argv, const ChildOptions* options) = 0;
  virtual void PrepareMainProcess() = 0;

 protected:
  ~Bootstrap() = default;
};

// The engine's entry point, looked up by this name in the library loaded last.
// The return value, if any, is ignored.
using GetBootstrapFunc = void (*)(Bootstrap** result);
extern "C" void ZOV_GetBootstrap(Bootstrap** result);

#endif  // VLM_BOOTSTRAP_H_
