// The launcher's entry (see entry.h).
#include "launcher/entry.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "launcher/loader.h"
#include "launcher/status.h"
#include "vlm/time_stamp.h"

namespace vellum::launcher {
namespace {

// The process-wide owner of at most one Bootstrap. A plain pointer, so that it
// is null from the start, whatever else runs during static initialisation.
Bootstrap* gHeldBootstrap = nullptr;

// Replaces the held object, releasing the previous one.
void HoldBootstrap(Bootstrap* bootstrap) {
  Bootstrap* previous = gHeldBootstrap;
  gHeldBootstrap = bootstrap;
  if (previous != nullptr) previous->Release();
}

Bootstrap* TakeBootstrap() {
  Bootstrap* bootstrap = gHeldBootstrap;
  gHeldBootstrap = nullptr;
  return bootstrap;
}

void ReleaseHeldBootstrapAtExit() {
  Bootstrap* bootstrap = TakeBootstrap();
  if (bootstrap != nullptr) bootstrap->Release();
}

// A switch starts with "-"; its name follows that dash, or the first two
// characters when they are both dashes. Names compare ignoring case.
bool IsSwitch(const char* argument) { return argument[0] == '-'; }

bool IsSwitchNamed(const char* argument, const char* name) {
  if (!IsSwitch(argument)) return false;
  const char* switch_name = argument + (argument[1] == '-' ? 2 : 1);
  return strcasecmp(switch_name, name) == 0;
}

}  // namespace

void InitHeldBootstrap() {
  gHeldBootstrap = nullptr;
  atexit(ReleaseHeldBootstrapAtExit);
}

void PrintError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

void FormatToBuffer(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(buffer, kPathBufferSize, format, args);
  va_end(args);
  buffer[kPathBufferSize - 1] = '\0';
}

int32_t InitEngineGlue(const char* program) {
  char executable[kPathBufferSize];
  if (ResolveExecutablePath(program, executable) < 0) {
    PrintError("Couldn't find the application directory.\n");
    return kFailure;
  }
  char* path = strdup(executable);
  if (path == nullptr) {
    PrintError("Couldn't find the application directory.\n");
    return kFailure;
  }
  HoldBootstrap(LoadEngineLibraries(path));
  if (gHeldBootstrap == nullptr) {
    PrintError("Couldn't load VESTRA.\n");
    free(path);
    return kFailure;
  }
  gHeldBootstrap->EngineInit();
  free(path);
  return kOk;
}

int LauncherMain(int argc, char** argv, char** envp) {
  const TimeStamp start = TimeStamp::Now(true);
  // With no arguments at all there is no program path to resolve.
  const char* program = argc >= 1 ? argv[0] : nullptr;

  if (argc >= 2 && IsSwitchNamed(argv[1], "contentproc")) {
    if (InitEngineGlue(program) < 0) return 255;
    gHeldBootstrap->SetChildProcessArgument(argv[argc - 1]);
    --argc;
    ChildOptions child_options;
    int32_t status = gHeldBootstrap->RunChildProcess(argc, argv, &child_options);
    gHeldBootstrap->EngineTerm();
    // The Bootstrap stays held; the exit handler releases it.
    return status < 0 ? 1 : 0;
  }

  if (InitEngineGlue(program) < 0) return 255;
  gHeldBootstrap->RecordStartupEvent(1, start);
  gHeldBootstrap->PrepareMainProcess();

  const char* app_file = getenv("QIR_APP_FILE");
  if (app_file != nullptr && app_file[0] == '\0') app_file = nullptr;

  int32_t status = 0;
  bool run_application = true;
  if (argc >= 2 && IsSwitch(argv[1])) {
    if (app_file == nullptr && IsSwitchNamed(argv[1], "app")) {
      run_application = false;
      if (argc == 2) {
        PrintError("Incorrect number of arguments passed to -app");
        status = 255;
      } else {
        char assignment[kPathBufferSize];
        FormatToBuffer(assignment, "QIR_APP_FILE=%s", argv[2]);
        // putenv keeps the string itself, so the copy is never freed. A copy
        // that cannot be made is a refused assignment.
        char* copy = strdup(assignment);
        if (copy == nullptr || putenv(copy) != 0) {
          free(copy);
          PrintError("Couldn't set %s.\n", assignment);
          status = 255;
        } else {
          app_file = argv[2];
          argv += 2;
          argv[0] = const_cast<char*>(program);
          argc -= 2;
          run_application = true;
        }
      }
    } else if (IsSwitchNamed(argv[1], "vstshell")) {
      // Drop the switch; the terminating null element moves down too.
      memmove(&argv[1], &argv[2], static_cast<size_t>(argc - 1) * sizeof(*argv));
      --argc;
      ShellOptions shell_options;
      status = gHeldBootstrap->RunShell(argc, argv, envp, &shell_options);
      run_application = false;
    }
  }

  if (run_application) {
    LaunchConfig config;
    if (app_file != nullptr && app_file[0] != '\0') {
      config.builtinAppData = nullptr;
      config.appLocation = app_file;
    } else {
      config.builtinAppData = &kBuiltinAppData;
      config.appLocation = "browser";
    }
    status = gHeldBootstrap->RunApplication(argc, argv, &config);
  }

  gHeldBootstrap->EngineTerm();
  TakeBootstrap()->Release();
  return status;
}

}  // namespace vellum::launcher
