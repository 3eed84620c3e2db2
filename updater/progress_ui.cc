// The progress window: a small GTK 3 dialog with a text and a progress bar,
// shown only for updates that take more than half a second. This is the only
// file of the updater that includes GTK; all toolkit calls run on the main
// thread. The worker talks to it only through gProgress and gQuitRequested.
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>

#include "updater/progress.h"
#include "updater/read_strings.h"

namespace {

constexpr useconds_t kShowDelayMicroseconds = 500 * 1000;
constexpr float kMaxProgressToShow = 70.0f;
constexpr guint kTickMilliseconds = 100;
constexpr int kMaxNameLength = 4096;

const char* sProgramPath = "";
bool sToolkitEnabled = false;
GtkWidget* sWindow = nullptr;
GtkWidget* sProgressBar = nullptr;

// The window manager's close request is always refused.
gboolean OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer) { return TRUE; }

gboolean OnTick(gpointer) {
  if (gQuitRequested.load(std::memory_order_relaxed)) {
    gtk_widget_hide(sWindow);
    gtk_main_quit();
  }
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(sProgressBar),
                                gProgress.load(std::memory_order_relaxed) / 100.0);
  return TRUE;
}

}  // namespace

int InitProgressUI(int* argc, char*** argv) {
  if (*argc > 0 && (*argv)[0]) {
    sProgramPath = (*argv)[0];
  }
  sToolkitEnabled = gtk_init_check(argc, argv);
  return 0;
}

int ShowProgressUI() {
  if (!sToolkitEnabled) {
    return -1;
  }
  usleep(kShowDelayMicroseconds);
  // A fast update, or one far along already, needs no window.
  if (gQuitRequested.load(std::memory_order_relaxed) ||
      gProgress.load(std::memory_order_relaxed) > kMaxProgressToShow) {
    return 0;
  }

  char ini_path[kMaxNameLength];
  char icon_path[kMaxNameLength];
  snprintf(ini_path, sizeof(ini_path), "%s.ini", sProgramPath);
  snprintf(icon_path, sizeof(icon_path), "%s.png", sProgramPath);

  static StringTable strings;
  if (ReadStrings(ini_path, &strings) != 0) {
    return -1;
  }

  sWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  if (!sWindow) {
    return -1;
  }
  g_signal_connect(G_OBJECT(sWindow), "delete_event", G_CALLBACK(OnDeleteEvent), nullptr);

  GtkWindow* window = GTK_WINDOW(sWindow);
  gtk_window_set_title(window, strings.title);
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER_ALWAYS);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_decorated(window, TRUE);
  gtk_window_set_deletable(window, FALSE);

  // A missing or unreadable icon leaves the window without one.
  GdkPixbuf* icon = gdk_pixbuf_new_from_file(icon_path, nullptr);
  if (icon) {
    gtk_window_set_icon(window, icon);
    g_object_unref(icon);
  }

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_box_set_homogeneous(GTK_BOX(box), TRUE);
  GtkWidget* label = gtk_label_new(strings.info);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  sProgressBar = gtk_progress_bar_new();

  gtk_box_pack_start(GTK_BOX(box), label, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), sProgressBar, TRUE, TRUE, 0);

  g_timeout_add(kTickMilliseconds, OnTick, nullptr);

  gtk_container_set_border_width(GTK_CONTAINER(sWindow), 10);
  gtk_container_add(GTK_CONTAINER(sWindow), box);
  gtk_widget_show_all(sWindow);

  gtk_main();
  return 0;
}
