// Runs the real jiggle inside the test VM and checks, from the kernel's side,
// what its uinput back end does. Prints one PASS or FAIL line per check and
// a closing "SCENARIO <name> PASSED|FAILED" line; exits 1 on any failure.
//
// jiggle gets this program's environment; the scenario's name tells the
// session it implies: wayland (WAYLAND_DISPLAY set), x11 (only DISPLAY set)
// or console (neither).
//
//   uinput_reader JIGGLE moves
//     The virtual pointer appears with the advertised capabilities; every
//     frame is REL_X, REL_Y, SYN_REPORT with values of 1 to 11 in
//     magnitude; the first frame arrives soon after the start but not before
//     the settle delay; frames are about 2 s apart; one character on stdin
//     stops the program with the farewell and status 0; the device is gone
//     when the program has ended.
//
//   uinput_reader JIGGLE refused CODE [UID]
//     Every cycle is reported as refused with return value 0 and error code
//     CODE, and the program goes on until stopped. With UID, jiggle runs as
//     that user and group, without supplementary groups.
#include "linux_back_ends.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string banner =
    "Jiggling the mouse, please press any key to stop.\n";
const std::string farewell = "Stopped jiggling. Goodbye!";

constexpr int frames_before_stop = 5;
constexpr double first_frame_deadline_s = 1.0;
constexpr double frame_gap_min_s = 1.8;
constexpr double frame_gap_max_s = 2.6;
// The reader sees the device a little after it was created; allow for it.
constexpr double settle_slack_s = 0.1;
constexpr int frame_timeout_ms = 4000;
constexpr double refused_run_s = 3.0; // cycles at about 0 s and 2 s
                                      // after the banner

int failures = 0;

void check(bool ok, const std::string &what, const std::string &detail = "")
{
    std::printf("%s %s%s%s\n", ok ? "PASS" : "FAIL", what.c_str(),
                detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stdout);
    if (!ok)
        ++failures;
}

double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) +
           static_cast<double>(ts.tv_nsec) / 1e9;
}

// Polling interval of the waits below.
void nap_ms(long milliseconds)
{
    const timespec interval{0, milliseconds * 1000000};
    nanosleep(&interval, nullptr);
}

void sleep_s(double seconds)
{
    const double end = now_s() + seconds;
    while (now_s() < end)
        nap_ms(1);
}

template <typename... Values>
std::string format(const char *fmt, Values... values)
{
    char text[128];
    std::snprintf(text, sizeof text, fmt, values...);
    return text;
}

struct Child {
    pid_t pid;
    int to_stdin;
    int from_stdout;
};

// jiggle with a pipe on each of stdin and stdout and this program's
// environment, optionally as an unprivileged user.
Child spawn_jiggle(const char *path, uid_t uid)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::exit(1); // NOLINT(concurrency-mt-unsafe): this is the one thread
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 ||
                         setuid(uid) != 0)) {
            std::perror("dropping privileges");
            _exit(126);
        }
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        char *const argv[] = {const_cast<char *>(path), nullptr};
        execv(path, argv);
        std::perror("execv");
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    return Child{pid, in[1], out[0]};
}

void stop_with_a_character(const Child &child)
{
    check(write(child.to_stdin, "\n", 1) == 1, "one character written");
    close(child.to_stdin);
}

// Waits for the exit and checks status 0; a program still running after
// `seconds` is killed and counts as a failure.
void check_exit_status(const Child &child, double seconds)
{
    const double deadline = now_s() + seconds;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(child.pid, &status, WNOHANG)) == 0 &&
           now_s() < deadline)
        nap_ms(10);
    if (done == 0) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &status, 0);
        check(false, "program ends after the stop", "still running, killed");
        return;
    }
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "exit status 0",
          format("wait status %d", status));
}

std::string read_all(int fd)
{
    std::string text;
    char chunk[4096];
    ssize_t n = 0;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<std::size_t>(n));
    return text;
}

std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

// Takes in what has arrived of the banner, without waiting; true once it is
// all there. jiggle flushes the banner before it waits for its stop, so its
// arrival marks the start of the run, whatever the start-up cost.
bool banner_read(int fd, std::string &text)
{
    pollfd waiting{fd, POLLIN, 0};
    if (text.size() < banner.size() && poll(&waiting, 1, 0) == 1) {
        char chunk[128];
        const ssize_t n = read(
            fd, chunk, std::min(sizeof chunk, banner.size() - text.size()));
        if (n > 0)
            text.append(chunk, static_cast<std::size_t>(n));
    }
    return text.size() == banner.size();
}

// Waits up to 5 s for the banner; returns what came of it.
std::string wait_for_banner(int fd)
{
    std::string text;
    const double deadline = now_s() + 5;
    while (!banner_read(fd, text) && now_s() < deadline)
        nap_ms(1);
    check(text == banner, "banner", "\"" + escaped(text) + "\"");
    return text;
}

std::string read_line_of(const std::string &path)
{
    std::string text;
    if (FILE *file = std::fopen(path.c_str(), "r")) {
        char line[256];
        if (std::fgets(line, sizeof line, file) != nullptr)
            text = line;
        std::fclose(file);
    }
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

// The eventN under /sys/class/input whose device bears our name, or "".
std::string find_event_node()
{
    std::string found;
    if (DIR *dir = opendir("/sys/class/input")) {
        while (dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.compare(0, 5, "event") == 0 &&
                read_line_of("/sys/class/input/" + name + "/device/name") ==
                    uinput_device_name)
                found = name;
        }
        closedir(dir);
    }
    return found;
}

template <std::size_t N> bool bit(const unsigned char (&bits)[N], int number)
{
    return ((bits[number / 8] >> (number % 8)) & 1) != 0;
}

template <std::size_t N> int count_bits(const unsigned char (&bits)[N])
{
    int count = 0;
    for (unsigned char byte : bits)
        count += __builtin_popcount(byte);
    return count;
}

void check_capabilities(int fd)
{
    char name[256] = {};
    ioctl(fd, EVIOCGNAME(sizeof name - 1), name);
    check(uinput_device_name == std::string(name), "device name",
          std::string("\"") + name + "\"");

    unsigned char types[EV_MAX / 8 + 1] = {};
    unsigned char rel[REL_MAX / 8 + 1] = {};
    unsigned char keys[KEY_MAX / 8 + 1] = {};
    ioctl(fd, EVIOCGBIT(0, sizeof types), types);
    ioctl(fd, EVIOCGBIT(EV_REL, sizeof rel), rel);
    ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys);
    check(bit(types, EV_SYN) && bit(types, EV_REL) && bit(types, EV_KEY) &&
              count_bits(types) == 3,
          "event types are exactly EV_SYN, EV_REL, EV_KEY");
    check(bit(rel, REL_X) && bit(rel, REL_Y) && count_bits(rel) == 2,
          "relative axes are exactly REL_X, REL_Y");
    check(bit(keys, BTN_LEFT) && count_bits(keys) == 1,
          "buttons are exactly BTN_LEFT");
}

enum class Read { frame, timeout, gone, failed };

// The events up to and including the next SYN_REPORT (or SYN_DROPPED).
Read read_frame(int fd, std::vector<input_event> &frame, int timeout_ms)
{
    frame.clear();
    const double deadline = now_s() + timeout_ms / 1000.0;
    for (;;) {
        const int left_ms = static_cast<int>((deadline - now_s()) * 1000);
        if (left_ms <= 0)
            return Read::timeout;
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, left_ms) == 0)
            return Read::timeout;
        input_event event{};
        const ssize_t n = read(fd, &event, sizeof event);
        if (n < 0 && errno == ENODEV)
            return Read::gone;
        if (n != static_cast<ssize_t>(sizeof event))
            return Read::failed;
        frame.push_back(event);
        if (event.type == EV_SYN)
            return Read::frame;
    }
}

double event_time_s(const input_event &event)
{
    return static_cast<double>(event.input_event_sec) +
           static_cast<double>(event.input_event_usec) / 1e6;
}

bool step_in_range(const input_event &event, int type, int code)
{
    return event.type == type && event.code == code &&
           std::abs(event.value) >= 1 && std::abs(event.value) <= 11;
}

std::string describe(const std::vector<input_event> &frame)
{
    std::string text;
    for (const input_event &e : frame) {
        char one[64];
        std::snprintf(one, sizeof one, "%s(type %d code %d value %d)",
                      text.empty() ? "" : " ", e.type, e.code, e.value);
        text += one;
    }
    return text.empty() ? "no events" : text;
}

void check_frame(const std::vector<input_event> &frame, int number,
                 double start)
{
    const bool ok =
        frame.size() == 3 && step_in_range(frame[0], EV_REL, REL_X) &&
        step_in_range(frame[1], EV_REL, REL_Y) && frame[2].type == EV_SYN &&
        frame[2].code == SYN_REPORT && frame[2].value == 0;
    check(ok,
          "frame " + std::to_string(number) +
              " is REL_X, REL_Y, SYN_REPORT with steps of 1..11",
          describe(frame) +
              format(" at +%.3f s", event_time_s(frame.back()) - start));
}

void run_moves(const char *jiggle)
{
    const double start = now_s();
    Child child = spawn_jiggle(jiggle, 0);

    // The banner and the device come at about the same time, in either
    // order; look for both, to time each.
    std::string node, text;
    double started = 0, appeared = 0;
    while ((started == 0 || appeared == 0) && now_s() < start + 5) {
        if (started == 0 && banner_read(child.from_stdout, text))
            started = now_s();
        if (appeared == 0 && !(node = find_event_node()).empty())
            appeared = now_s();
        nap_ms(1);
    }
    check(text == banner, "banner",
          "\"" + escaped(text) + format("\" after %.3f s", started - start));
    check(!node.empty(), "virtual pointer appears",
          format("%.3f s after the start, %.3f s after the banner",
                 appeared - start, appeared - started));
    if (node.empty()) {
        kill(child.pid, SIGKILL);
        return;
    }
    // devtmpfs makes the node as the device is added; give it a moment.
    int fd = -1;
    while ((fd = open(("/dev/input/" + node).c_str(), O_RDONLY)) < 0 &&
           now_s() < appeared + 1)
        nap_ms(1);
    check(fd >= 0, "event node opens", "/dev/input/" + node);
    if (fd < 0) {
        kill(child.pid, SIGKILL);
        return;
    }
    const int monotonic = CLOCK_MONOTONIC;
    check(ioctl(fd, EVIOCSCLOCKID, &monotonic) == 0,
          "event times on the monotonic clock");
    check_capabilities(fd);

    std::vector<input_event> frame;
    std::vector<double> times;
    while (static_cast<int>(times.size()) < frames_before_stop) {
        const Read got = read_frame(fd, frame, frame_timeout_ms);
        if (got != Read::frame) {
            check(false,
                  "frame " + std::to_string(times.size() + 1) + " arrives",
                  "none within 4 s; partial: " + describe(frame));
            break;
        }
        times.push_back(event_time_s(frame.back()));
        check_frame(frame, static_cast<int>(times.size()), start);
    }
    if (!times.empty()) {
        // Had the first motion been dropped, the first frame would be the
        // second motion, one pause later.
        const double settle =
            std::chrono::duration<double>(uinput_settle_delay).count();
        check(times[0] - started <= first_frame_deadline_s,
              "first motion delivered at once",
              format("%.3f s after the banner, %.3f s after the start",
                     times[0] - started, times[0] - start));
        check(times[0] - appeared >= settle - settle_slack_s &&
                  times[0] - appeared <= settle + first_frame_deadline_s,
              "first motion waits for the settle delay, and only that",
              format("%.3f s after the device appeared", times[0] - appeared));
    }
    for (std::size_t i = 1; i < times.size(); ++i) {
        const double gap = times[i] - times[i - 1];
        check(gap >= frame_gap_min_s && gap <= frame_gap_max_s,
              "gap before frame " + std::to_string(i + 1) + " is about 2 s",
              format("%.3f s", gap));
    }

    stop_with_a_character(child);
    // At most one more motion may follow the stop; then the device goes.
    int after_stop = 0;
    Read got = Read::frame;
    while ((got = read_frame(fd, frame, frame_timeout_ms)) == Read::frame) {
        ++after_stop;
        check_frame(frame, frames_before_stop + after_stop, start);
    }
    check(after_stop <= 1, "at most one motion after the stop",
          std::to_string(after_stop));
    check(got == Read::gone, "device removed when the program ends",
          got == Read::gone      ? "ENODEV"
          : got == Read::timeout ? "still there after 4 s"
                                 : "read failed");
    close(fd);
    check_exit_status(child, 3);
    const std::string out = text + read_all(child.from_stdout);
    check(out == banner + farewell, "stdout is the banner and the farewell",
          "\"" + escaped(out) + "\"");
}

void run_refused(const char *jiggle, unsigned long code, uid_t uid)
{
    Child child = spawn_jiggle(jiggle, uid);
    const std::string text = wait_for_banner(child.from_stdout);
    sleep_s(refused_run_s);
    stop_with_a_character(child);
    check_exit_status(child, 3);
    const std::string out = text + read_all(child.from_stdout);
    const std::string report = "Error sending to input:\n\tReturn value: 0\n"
                               "\tError code: " +
                               std::to_string(code) + "\n";
    // Reports at about 0 s and 2 s; one more if the machine was slow.
    bool ok = false;
    for (int reports = 2; reports <= 3 && !ok; ++reports) {
        std::string expected = banner;
        for (int i = 0; i < reports; ++i)
            expected += report;
        ok = out == expected + farewell;
    }
    check(ok,
          "stdout is the banner, one report with code " + std::to_string(code) +
              " per cycle, the farewell",
          "\"" + escaped(out) + "\"");
}

// The kind of session jiggle will take itself to be in.
std::string session()
{
    if (std::getenv("WAYLAND_DISPLAY") != nullptr)
        return "wayland";
    return std::getenv("DISPLAY") != nullptr ? "x11" : "console";
}

} // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 2 ? argv[2] : "";
    std::string scenario;
    if (argc == 3 && mode == "moves") {
        scenario = "moves-" + session();
        run_moves(argv[1]);
    } else if ((argc == 4 || argc == 5) && mode == "refused") {
        const unsigned long code = std::strtoul(argv[3], nullptr, 10);
        const uid_t uid =
            argc == 5 ? static_cast<uid_t>(std::strtoul(argv[4], nullptr, 10))
                      : 0;
        scenario = "refused-" + std::to_string(code) + "-" + session() +
                   (uid != 0 ? "-uid" + std::to_string(uid) : "");
        run_refused(argv[1], code, uid);
    } else {
        std::fprintf(stderr,
                     "usage: %s JIGGLE moves\n"
                     "       %s JIGGLE refused CODE [UID]\n",
                     argv[0], argv[0]);
        return 2;
    }
    std::printf("SCENARIO %s %s\n", scenario.c_str(),
                failures == 0 ? "PASSED" : "FAILED");
    return failures == 0 ? 0 : 1;
}
