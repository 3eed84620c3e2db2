// The progress window under a virtual X server started by the test: a slow
// update shows it after about half a second with the INI's title and a moving
// progress bar, refuses a close request and disappears at the end; a fast
// update never shows it. One screenshot is kept as a build artifact.
// GoogleTest before Xlib: Xlib's macros (None, Bool, ...) would break it.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/updater_harness.h"

namespace fs = std::filesystem;

namespace updater_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kXvfb = "/usr/bin/Xvfb";

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Xvfb on a display number it picks itself (-displayfd), so the test never
// depends on or disturbs an existing DISPLAY.
class VirtualDisplay {
 public:
  bool Start() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      std::string fd = std::to_string(fds[1]);
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      execl(kXvfb, "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "800x600x24",
            "-nolisten", "tcp", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // The server writes the number and then a line end, possibly in two
    // writes; closing the pipe before the second would make it give up.
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    close(fds[0]);
    if (number.empty()) return false;
    name_ = ":" + number;
    for (int attempt = 0; attempt < 50 && !display_; ++attempt) {
      display_ = XOpenDisplay(name_.c_str());
      if (!display_) usleep(100 * 1000);
    }
    // A window may go between the listing and the look at it (the updater
    // ends when it likes): the request then fails with BadWindow, which the
    // default handler would turn into the end of the test process.
    XSetErrorHandler(IgnoreXError);
    return display_ != nullptr;
  }
  ~VirtualDisplay() {
    if (display_) XCloseDisplay(display_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& name() const { return name_; }
  Display* display() const { return display_; }

  static int IgnoreXError(Display*, XErrorEvent*) { return 0; }

  // The mapped top-level window titled `title`, or 0.
  Window FindWindow(const std::string& title) {
    Window root = DefaultRootWindow(display_), parent, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (!XQueryTree(display_, root, &root, &parent, &children, &count)) return 0;
    for (unsigned i = 0; i < count && !found; ++i) {
      char* name = nullptr;
      XWindowAttributes attributes;
      if (XFetchName(display_, children[i], &name) && name) {
        if (title == name && XGetWindowAttributes(display_, children[i], &attributes) &&
            attributes.map_state == IsViewable) {
          found = children[i];
        }
        XFree(name);
      }
    }
    if (children) XFree(children);
    return found;
  }

  // The window's pixels as an RGB image.
  GdkPixbuf* Capture(Window window) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, window, &a)) return nullptr;
    XImage* image = XGetImage(display_, window, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (!image) return nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, a.width, a.height);
    guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    int stride = gdk_pixbuf_get_rowstride(pixbuf);
    for (int y = 0; y < a.height; ++y) {
      for (int x = 0; x < a.width; ++x) {
        unsigned long p = XGetPixel(image, x, y);
        guchar* out = pixels + y * stride + x * 3;
        out[0] = (p >> 16) & 0xff;
        out[1] = (p >> 8) & 0xff;
        out[2] = p & 0xff;
      }
    }
    XDestroyImage(image);
    return pixbuf;
  }

  // What a window manager sends when the user closes a window.
  void RequestClose(Window window) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
  }

 private:
  pid_t pid_ = -1;
  std::string name_;
  Display* display_ = nullptr;
};

class WindowTest : public ::testing::Test {
 protected:
  static constexpr const char* kTitle = "Test Update";

  // One server for the suite.
  static void SetUpTestSuite() {
    if (access(kXvfb, X_OK) != 0) return;
    display_ = new VirtualDisplay;
    if (!display_->Start()) {
      delete display_;
      display_ = nullptr;
      FAIL() << "Xvfb did not start";
    }
  }
  static void TearDownTestSuite() {
    delete display_;
    display_ = nullptr;
  }

  void SetUp() override {
    if (access(kXvfb, X_OK) != 0) {
      GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps installs it); window not tested";
    }
    ASSERT_TRUE(display_) << "no virtual display";
    root_ = MakeTempDir();
    app_ = root_ + "/app";
    patch_ = root_ + "/patch";
    fs::create_directories(app_);
    fs::copy_file(kUpdater, app_ + "/updater");
    WriteFile(app_ + "/updater.ini",
              "; progress window strings\n[Strings]\nTitle=Test Update\n"
              "Info=Applying the test update, please wait.\n");
    GdkPixbuf* icon = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 16, 16);
    gdk_pixbuf_fill(icon, 0x3366ccff);
    gdk_pixbuf_save(icon, (app_ + "/updater.png").c_str(), "png", nullptr, nullptr);
    g_object_unref(icon);
  }
  void TearDown() override {
    if (!root_.empty()) RemoveTree(root_);
  }

  // An update that replaces `count` files.
  void MakeUpdate(int count) {
    std::string manifest = "type \"partial\"\n";
    std::map<std::string, std::string> files;
    for (int i = 0; i < count; ++i) {
      std::string name = "data/file" + std::to_string(i) + ".txt";
      WriteFile(app_ + "/" + name, "old " + std::to_string(i));
      manifest += "add \"" + name + "\"\n";
      files[name] = "new " + std::to_string(i);
    }
    MakeArchive(patch_ + "/update.upq", manifest, files);
  }

  // Starts the updater in the background.
  pid_t StartUpdater(const std::vector<std::string>& env) {
    pid_t pid = fork();
    if (pid == 0) {
      for (const auto& e : env) putenv(strdup(e.c_str()));
      setenv("DISPLAY", display_->name().c_str(), 1);
      // Sanitizer builds: the toolkit's libraries keep memory for good.
      setenv("LSAN_OPTIONS", "suppressions=" VLM_LSAN_SUPPRESSIONS, 1);
      unsetenv("WAYLAND_DISPLAY");
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 1);
      std::string updater = app_ + "/updater";
      execl(updater.c_str(), updater.c_str(), patch_.c_str(), app_.c_str(),
            (app_ + "/updated").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }

  int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  static VirtualDisplay* display_;
  std::string root_, app_, patch_;
};

VirtualDisplay* WindowTest::display_ = nullptr;

TEST_F(WindowTest, SlowUpdateShowsWindowThatRefusesToClose) {
  MakeUpdate(40);
  std::string shim = VLM_SLOW_RENAME_SHIM;
  auto start = Clock::now();
  // In sanitizer builds the shim comes before the sanitizer's runtime.
  pid_t updater = StartUpdater({"LD_PRELOAD=" + shim, "VLM_TEST_RENAME_DELAY_MS=60",
                                "ASAN_OPTIONS=verify_asan_link_order=0"});

  Window window = 0;
  while (!window && SecondsSince(start) < 5) {
    window = display_->FindWindow(kTitle);
    if (!window) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  double shown_after = SecondsSince(start);
  ASSERT_NE(window, 0u) << "no window titled " << kTitle;
  EXPECT_GE(shown_after, 0.45);

  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(display_->display(), window, &attributes));
  EXPECT_GE(attributes.width, 100);
  EXPECT_GE(attributes.height, 40);

  // The bar moves: two captures some ticks apart differ.
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  GdkPixbuf* first = display_->Capture(window);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  GdkPixbuf* second = display_->Capture(window);
  ASSERT_TRUE(first && second);
  size_t bytes = gdk_pixbuf_get_byte_length(first);
  ASSERT_EQ(bytes, gdk_pixbuf_get_byte_length(second));
  EXPECT_NE(memcmp(gdk_pixbuf_read_pixels(first), gdk_pixbuf_read_pixels(second), bytes), 0)
      << "the progress bar did not move";
  GError* error = nullptr;
  EXPECT_TRUE(gdk_pixbuf_save(second, VLM_WINDOW_SCREENSHOT, "png", &error, nullptr))
      << (error ? error->message : "");
  g_object_unref(first);
  g_object_unref(second);

  // A close request is refused: the window stays.
  display_->RequestClose(window);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(display_->FindWindow(kTitle), window);

  EXPECT_EQ(Wait(updater), 0);
  EXPECT_EQ(ReadFile(patch_ + "/update.status"), "succeeded\n");
  EXPECT_EQ(ReadFile(app_ + "/data/file39.txt"), "new 39");
  EXPECT_EQ(display_->FindWindow(kTitle), 0u);
}

TEST_F(WindowTest, FastUpdateShowsNoWindow) {
  MakeUpdate(3);
  auto start = Clock::now();
  pid_t updater = StartUpdater({});
  bool seen = false;
  int status = 0;
  while (waitpid(updater, &status, WNOHANG) == 0 && SecondsSince(start) < 10) {
    seen = seen || display_->FindWindow(kTitle) != 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(seen);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(patch_ + "/update.status"), "succeeded\n");
}

}  // namespace
}  // namespace updater_test
