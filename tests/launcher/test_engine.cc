// An engine library for the launcher's end-to-end tests: it records every
// Bootstrap call with its arguments as one line on standard output, so that
// a test can compare the whole conversation with what it expects.
//
// Controlled by the environment:
//   TEST_ENGINE_STATUS       status returned by RunApplication, RunShell and
//                            RunChildProcess (default 0);
//   TEST_ENGINE_NO_BOOTSTRAP when set, ZOV_GetBootstrap offers no object.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vlm/bootstrap.h"
#include "vlm/sse.h"
#include "vlm/time_stamp.h"

namespace {

void Record(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Record(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stdout, format, args);
  va_end(args);
  fputc('\n', stdout);
  fflush(stdout);
}

// A text as a JSON string, or null.
std::string Quote(const char* text) {
  if (text == nullptr) return "null";
  std::string out = "\"";
  for (const char* p = text; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The first argc elements, and whether the vector is null-terminated there.
std::string Arguments(int argc, char** argv) {
  std::string out = "\"argc\": " + std::to_string(argc) + ", \"argv\": [";
  for (int i = 0; i < argc; ++i) {
    if (i) out += ", ";
    out += Quote(argv[i]);
  }
  out += "], \"terminated\": ";
  out += argv[argc] == nullptr ? "true" : "false";
  return out;
}

int32_t Status() {
  const char* status = getenv("TEST_ENGINE_STATUS");
  return status ? static_cast<int32_t>(strtol(status, nullptr, 10)) : 0;
}

class RecordingBootstrap final : public Bootstrap {
 public:
  void Release() override {
    Record("{\"call\": \"Release\"}");
    delete this;
  }
  void EngineInit() override {
    Record("{\"call\": \"EngineInit\", \"G_SLICE\": %s}", Quote(getenv("G_SLICE")).c_str());
  }
  void EngineTerm() override { Record("{\"call\": \"EngineTerm\"}"); }
  void RecordStartupEvent(uint32_t event, vellum::TimeStamp when) override {
    // The time stamp comes from tarvelin's clock, read through its exports.
    vellum::TimeStamp now = vellum::TimeStamp::Now();
    bool valid = !when.IsNull() && when <= now && (now - when).ToSeconds() < 60;
    Record("{\"call\": \"RecordStartupEvent\", \"event\": %u, \"valid\": %s}", event,
           valid ? "true" : "false");
  }
  int32_t RunApplication(int argc, char** argv, const LaunchConfig* config) override {
    const BuiltinAppData* data = config->builtinAppData;
    std::string app = "null";
    if (data != nullptr) {
      app = "{\"vendor\": " + Quote(data->vendor) + ", \"name\": " + Quote(data->name) +
            ", \"remotingName\": " + Quote(data->remotingName) +
            ", \"version\": " + Quote(data->version) + ", \"buildId\": " + Quote(data->buildId) +
            ", \"appId\": " + Quote(data->appId) + ", \"copyright\": " + Quote(data->copyright) +
            ", \"flags\": " + std::to_string(data->flags) +
            ", \"minEngineVersion\": " + Quote(data->minEngineVersion) +
            ", \"maxEngineVersion\": " + Quote(data->maxEngineVersion) +
            ", \"crashReportUrl\": " + Quote(data->crashReportUrl) +
            ", \"profileName\": " + Quote(data->profileName) +
            ", \"userAgentName\": " + Quote(data->userAgentName) + "}";
    }
    Record(
        "{\"call\": \"RunApplication\", %s, \"builtinAppData\": %s, \"appLocation\": %s, "
        "\"QIR_APP_FILE\": %s}",
        Arguments(argc, argv).c_str(), app.c_str(), Quote(config->appLocation).c_str(),
        Quote(getenv("QIR_APP_FILE")).c_str());
    return Status();
  }
  int32_t RunShell(int argc, char** argv, char** envp, const ShellOptions*) override {
    // The environment vector is the one the process started with.
    const char* mark = nullptr;
    for (char** p = envp; *p != nullptr; ++p) {
      if (strncmp(*p, "TEST_ENGINE_MARK=", 17) == 0) mark = *p + 17;
    }
    Record("{\"call\": \"RunShell\", %s, \"TEST_ENGINE_MARK\": %s}", Arguments(argc, argv).c_str(),
           Quote(mark).c_str());
    return Status();
  }
  void SetChildProcessArgument(const char* argument) override {
    Record("{\"call\": \"SetChildProcessArgument\", \"argument\": %s}", Quote(argument).c_str());
  }
  int32_t RunChildProcess(int argc, char** argv, const ChildOptions*) override {
    Record("{\"call\": \"RunChildProcess\", %s}", Arguments(argc, argv).c_str());
    return Status();
  }
  void PrepareMainProcess() override { Record("{\"call\": \"PrepareMainProcess\"}"); }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void ZOV_GetBootstrap(Bootstrap** result) {
  // tarvelin's static initialisation has run before anything is loaded: the
  // CPU flags are computed and the clock's resolution measured. Both are read
  // through tarvelin's exports.
  Record(
      "{\"call\": \"ZOV_GetBootstrap\", \"initial\": %s, \"ssse3_enabled\": %s, "
      "\"resolution\": %lld}",
      *result == nullptr ? "null" : "\"not null\"",
      vellum::sse_private::ssse3_enabled ? "true" : "false",
      static_cast<long long>(vellum::BaseTimeDurationPlatformUtils::ResolutionInTicks()));
  if (getenv("TEST_ENGINE_NO_BOOTSTRAP") == nullptr) *result = new RecordingBootstrap();
}
