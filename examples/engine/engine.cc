// An example engine library (installed as libqir.so): it shows which mode
// tarvelin started it in and what it received, then returns; in browser mode
// it first starts the updater for a pending update (update_check.h). It binds to
// tarvelin's exported runtime (time stamps, CPU flags) like a real engine.
//
// The version it reports comes from the build (VLM_EXAMPLE_ENGINE_VERSION),
// so that an installation can be seen to change when it is updated.
#include <cstdarg>
#include <cstdio>

#include "update_check.h"
#include "vlm/bootstrap.h"
#include "vlm/sse.h"
#include "vlm/time_stamp.h"

#ifndef VLM_EXAMPLE_ENGINE_VERSION
#error "VLM_EXAMPLE_ENGINE_VERSION must be defined by the build"
#endif

namespace {

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("[engine " VLM_EXAMPLE_ENGINE_VERSION "] ");
  vprintf(format, args);
  va_end(args);
  putchar('\n');
  fflush(stdout);
}

const char* Text(const char* text) { return text ? text : "(none)"; }

void SayArguments(int argc, char** argv) {
  Say("arguments (%d):", argc);
  for (int i = 0; i < argc; ++i) Say("  [%d] %s", i, argv[i]);
}

class ExampleBootstrap final : public Bootstrap {
 public:
  void Release() override {
    Say("released");
    delete this;
  }
  void EngineInit() override { Say("engine version %s initialised", VLM_EXAMPLE_ENGINE_VERSION); }
  void EngineTerm() override { Say("engine terminated"); }
  void RecordStartupEvent(uint32_t event, vellum::TimeStamp when) override {
    start_ = when;
    Say("start-up event %u recorded, %.3f ms ago", event,
        (vellum::TimeStamp::Now() - when).ToMilliseconds());
  }
  void PrepareMainProcess() override { Say("main process prepared"); }
  int32_t RunApplication(int argc, char** argv, const LaunchConfig* config) override {
    if (config->builtinAppData != nullptr) {
      const BuiltinAppData* app = config->builtinAppData;
      Say("started in browser mode (application \"%s\")", config->appLocation);
      Say("application data: %s %s by %s, build %s, id %s", Text(app->name), Text(app->version),
          Text(app->vendor), Text(app->buildId), Text(app->appId));
    } else {
      Say("started for the application data file %s", config->appLocation);
    }
    SayArguments(argc, argv);
    ReportRuntime();
    // A downloaded update is applied by the updater, which needs this
    // process gone; it starts the browser again when it is done.
    if (config->builtinAppData != nullptr && StartPendingUpdate(argc, argv, Say)) {
      Say("exiting for the update");
      return 0;
    }
    return 0;
  }
  int32_t RunShell(int argc, char** argv, char**, const ShellOptions*) override {
    Say("started as a script shell");
    SayArguments(argc, argv);
    return 0;
  }
  void SetChildProcessArgument(const char* argument) override {
    Say("content process argument: %s", argument);
  }
  int32_t RunChildProcess(int argc, char** argv, const ChildOptions*) override {
    Say("started as a content process");
    SayArguments(argc, argv);
    return 0;
  }

 private:
  void ReportRuntime() {
    bool approximate = false;
    vellum::TimeStamp created = vellum::TimeStamp::ProcessCreation(&approximate);
    Say("process created %.3f ms before the launcher's entry point%s",
        (start_ - created).ToMilliseconds(), approximate ? " (approximately)" : "");
    Say("CPU: ssse3=%d sse4.1=%d sse4.2=%d sse4a=%d avx=%d avx2=%d aes=%d",
        vellum::supports_ssse3(), vellum::supports_sse4_1(), vellum::supports_sse4_2(),
        vellum::supports_sse4a(), vellum::supports_avx(), vellum::supports_avx2(),
        vellum::supports_aes());
  }

  vellum::TimeStamp start_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void ZOV_GetBootstrap(Bootstrap** result) {
  *result = new ExampleBootstrap();
}
