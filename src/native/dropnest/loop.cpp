// _receive_loop: the body of the receiver thread.
// Mirrors tests/reference/camera.py: DropnestCamera._receive_loop.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "dropnest/camera_class.hpp"
#include "dropnest/members.hpp"
#include "core/arrival.hpp"

namespace qorva::dropnest {

namespace {

bool stop_requested(py::handle self) { return interop::truth(self.attr("_rx_stop").attr("is_set")()); }

// A receiver thread is a daemon of the host. When the interpreter finalises, such a thread is
// ended wherever it next waits for the GIL; ended inside this loop, the unwinding of its C++
// frames releases Python objects without the GIL and crashes the exiting process. The loops
// running here are therefore stopped, and awaited for a while, before the interpreter finalises.
constexpr std::chrono::seconds kExitGrace{10};
std::mutex g_mutex;
std::condition_variable g_ended;
std::unordered_multiset<PyObject *> g_running;  // borrowed: each loop's own frame holds its camera
bool g_exit_hook = false;                       // guarded by the GIL

class Running {
public:
    explicit Running(py::handle self) : self_(self.ptr()) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_running.insert(self_);
    }
    ~Running() {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_running.erase(g_running.find(self_));
        }
        g_ended.notify_all();
    }
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;

private:
    PyObject *self_;
};

void stop_running_loops() {
    std::vector<py::object> cameras;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (PyObject *cam : g_running) {
            cameras.push_back(py::reinterpret_borrow<py::object>(cam));
        }
    }
    std::vector<PyObject *> stopped;
    for (const py::object &cam : cameras) {
        try {
            cam.attr("_rx_stop").attr("set")();
            stopped.push_back(cam.ptr());
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("stopping a dropnest receive loop at exit");
        }
    }
    py::gil_scoped_release unlocked;
    std::unique_lock<std::mutex> lock(g_mutex);
    g_ended.wait_for(lock, kExitGrace, [&] {
        for (PyObject *cam : stopped) {
            if (g_running.count(cam) != 0) {
                return false;
            }
        }
        return true;
    });
}

void hook_interpreter_exit() {
    if (!g_exit_hook) {
        interop::lookup("atexit", "register")(py::cpp_function(&stop_running_loops));
        g_exit_hook = true;
    }
}

}  // namespace

void receive_loop(py::object self) {
    const double interval = core::arrival::poll_interval(interop::to_float(param(self, "poll_ms")));
    const py::float_ timeout(interval);
    hook_interpreter_exit();
    const Running running(self);
    for (;;) {
        if (stop_requested(self)) {
            return;
        }
        long consumed = 0;
        for (py::handle fpath : self.attr("_scan")()) {
            if (stop_requested(self)) {
                return;
            }
            if (interop::truth(self.attr("_consume")(fpath))) {
                ++consumed;
            }
        }
        // A productive pass rescans at once so a backlog drains at decoding speed.
        if (consumed == 0) {
            self.attr("_rx_stop").attr("wait")(timeout);
        }
    }
}

}  // namespace qorva::dropnest
