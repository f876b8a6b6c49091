// Start-up time of the window: from launching envoi-ftp to its window being mapped on the X display,
// against a minimal Qt window measured the same way, interleaved, in the same run. Run it on a display of
// its own (bench/window-bench.sh BUILD_DIR start starts Xvfb).
//
//   window_start_bench ENVOI_FTP MINIMAL_WINDOW [--runs N]
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Launches the program and returns the milliseconds until a top-level window of it is mapped; -1 when
// none is within 20 s.
double TimeToMapped(xcb_connection_t* x, xcb_window_t root, const char* program) {
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);
    while (xcb_generic_event_t* stale = xcb_poll_for_event(x)) free(stale);

    const auto start = Clock::now();
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(program), nullptr};
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        std::perror(program);
        std::exit(2);
    }
    double ms = -1;
    const auto deadline = start + std::chrono::seconds(20);
    pollfd pfd{xcb_get_file_descriptor(x), POLLIN, 0};
    while (ms < 0 && Clock::now() < deadline) {
        ::poll(&pfd, 1, 100);
        while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY && ms < 0)
                ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            free(event);
        }
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    return ms;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ENVOI_FTP MINIMAL_WINDOW [--runs N]\n", argv[0]);
        return 2;
    }
    int runs = 15;
    for (int i = 3; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::min(200, std::atoi(argv[i + 1])));

    int screen = 0;
    xcb_connection_t* x = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "no X display (run it through bench/window-bench.sh BUILD_DIR start)\n");
        return 2;
    }
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;

    // One warm-up each: the first start reads the libraries and fonts from disk.
    TimeToMapped(x, root, argv[1]);
    TimeToMapped(x, root, argv[2]);
    std::vector<double> ours, minimal;
    for (int i = 0; i < runs; ++i) {
        const double a = TimeToMapped(x, root, argv[1]);
        const double b = TimeToMapped(x, root, argv[2]);
        if (a < 0 || b < 0) {
            std::fprintf(stderr, "a window never showed\n");
            return 1;
        }
        ours.push_back(a);
        minimal.push_back(b);
    }
    const double mo = Median(ours), mm = Median(minimal);
    std::printf("launch to window shown, median of %d (interleaved):\n", runs);
    std::printf("  envoi-ftp         %7.1f ms\n", mo);
    std::printf("  minimal Qt window %7.1f ms\n", mm);
    std::printf("  ratio             %7.2fx (goal <= 1.5)\n", mo / mm);
    xcb_disconnect(x);
    return 0;
}
