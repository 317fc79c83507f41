// sendral._native: the C++ libraries' public API for the Python packages
// `sendral` and `lumivar` (which add the friendly signatures).
//
// Every long call runs without the GIL. The library's messages are kept per
// call (per image in detect_many) and handed to Python's logging afterwards,
// in the order the program would print them; progress callbacks are called
// on the calling thread with the GIL held. Arrays returned own their memory:
// the C++ vector is moved into the capsule that the array keeps.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sendral/lumivar.hpp>
#include <sendral/sendral.hpp>

#include "mtx.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace py = pybind11;

namespace {

PyObject *g_error = nullptr;

// ---- messages to logging ----

struct Log {
    std::vector<std::pair<int, std::string>> parts;
    sendral::MessageCapture::Sink sink() {
        return [this](int stream, const std::string &text) { parts.emplace_back(stream, text); };
    }
};

bool is_warning(const std::string &line) {
    for (const char *w : {"Warning", "Notice", "Cannot", "Error", "No ", "The maximum"})
        if (line.rfind(w, 0) == 0) return true;
    return line.find("!!!") != std::string::npos;
}

// Each line once whole (pieces such as "saving..." "done." are joined), with
// the GIL held.
void emit(const char *logger_name, const Log &log) {
    if (log.parts.empty()) return;
    std::string text;
    for (const auto &p : log.parts) text += p.second;
    py::object logger = py::module_::import("logging").attr("getLogger")(logger_name);
    const int info = 20, warning = 30;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.front() == '\t')) {
            if (line.back() == '\r')
                line.pop_back();
            else
                line.erase(0, 1);
        }
        if (!line.empty()) logger.attr("log")(is_warning(line) ? warning : info, line);
        start = end + 1;
    }
}

// Runs f without the GIL, its messages kept; logs them either way.
template <class F>
auto run_logged(const char *logger, F f) {
    Log log;
    std::exception_ptr failure;
    std::optional<decltype(f())> r;
    {
        py::gil_scoped_release release;
        sendral::MessageCapture capture(log.sink());
        try {
            r.emplace(f());
        } catch (...) {
            failure = std::current_exception();
        }
    }
    emit(logger, log);
    if (failure) std::rethrow_exception(failure);
    return std::move(*r);
}

// ---- arrays ----

py::array_t<double> owned(std::vector<double> &&v, std::vector<py::ssize_t> shape) {
    auto *heap = new std::vector<double>(std::move(v));
    py::capsule owner(heap, [](void *p) { delete static_cast<std::vector<double> *>(p); });
    std::vector<py::ssize_t> strides(shape.size(), sizeof(double));
    for (int i = (int)shape.size() - 2; i >= 0; i--) strides[i] = strides[i + 1] * shape[i + 1];
    return py::array_t<double>(shape, strides, heap->data(), owner);
}

using Grey = py::array_t<double, py::array::c_style | py::array::forcecast>;

sendral::GreyView view_of(const Grey &a) {
    if (a.ndim() != 2) throw sendral::Error("a grey image must be a 2-D array", 1);
    if (a.shape(0) > INT32_MAX || a.shape(1) > INT32_MAX)
        throw sendral::Error("the image is too large", 1);
    return {a.data(), (int)a.shape(0), (int)a.shape(1), (long)a.shape(1)};
}

// An image argument: a path, or samples (kept alive by the caller's list).
using Input = std::variant<std::string, Grey>;

py::tuple to_python(lumivar::Result &&r) {
    std::vector<double> locs;
    locs.reserve(r.locations.size() * 4);
    for (const lumivar::Location &l : r.locations) {
        locs.push_back(l.row);
        locs.push_back(l.col);
        locs.push_back(l.radius);
        locs.push_back(l.saliency);
    }
    const py::ssize_t n = (py::ssize_t)r.locations.size();
    py::object scale = py::none();
    if (!r.scale_map.empty()) scale = owned(std::move(r.scale_map), {r.rows, r.cols});
    return py::make_tuple(owned(std::move(r.map), {r.rows, r.cols}), owned(std::move(locs), {n, 4}),
                          scale);
}

lumivar::Result detect_one(const lumivar::Model &m, const Input &in, const sendral::GreyView *view,
                           const lumivar::DetectOptions &opt) {
    if (view) return m.detect(*view, opt);
    return m.detect(std::get<std::string>(in), opt);
}

// Images on `threads` threads; each image's messages and failure kept and
// handed over in list order.
py::list detect_many(const lumivar::Model &m, const std::vector<Input> &items, int threads,
                     bool nowta, bool scale_map, py::object progress) {
    const lumivar::DetectOptions opt{nowta, scale_map};
    const int n = (int)items.size();
    std::vector<sendral::GreyView> views(n);
    std::vector<bool> has_view(n, false);
    for (int i = 0; i < n; i++)
        if (const Grey *g = std::get_if<Grey>(&items[i])) {
            views[i] = view_of(*g);
            has_view[i] = true;
        }
    std::vector<lumivar::Result> results(n);
    std::vector<Log> logs(n);
    std::vector<std::exception_ptr> failures(n);
    std::vector<char> done(n, 0);
    std::mutex mu;
    std::condition_variable cv;
    int next = 0;
    auto work = [&]() {
        for (;;) {
            int i;
            {
                std::lock_guard<std::mutex> hold(mu);
                if (next >= n) return;
                i = next++;
            }
            try {
                sendral::MessageCapture capture(logs[i].sink());
                results[i] = detect_one(m, items[i], has_view[i] ? &views[i] : nullptr, opt);
            } catch (...) {
                failures[i] = std::current_exception();
            }
            std::lock_guard<std::mutex> hold(mu);
            done[i] = 1;
            cv.notify_all();
        }
    };
    std::vector<std::thread> pool;
    {
        py::gil_scoped_release release;
        for (int t = 0; t < std::max(1, std::min(threads, n)); t++) {
            try {
                pool.emplace_back(work);
            } catch (const std::system_error &) {
                if (pool.empty()) throw;  // fewer threads, never none
                break;
            }
        }
    }
    py::list out;
    std::exception_ptr first;
    for (int i = 0; i < n; i++) {
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> hold(mu);
            cv.wait(hold, [&] { return done[i] != 0; });
        }
        emit("lumivar", logs[i]);
        if (failures[i] && !first) first = failures[i];
        if (!failures[i]) out.append(to_python(std::move(results[i])));
        if (!progress.is_none()) progress(i + 1, n);
    }
    {
        py::gil_scoped_release release;
        for (std::thread &t : pool) t.join();
    }
    if (first) std::rethrow_exception(first);
    return out;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "The compiled part of the sendral and lumivar packages.";
    g_error = PyErr_NewExceptionWithDoc(
        "sendral.Error",
        "A failure of the library; the message names the file and the cause, .status the exit "
        "status the program would end with.",
        PyExc_RuntimeError, nullptr);
    m.attr("Error") = py::handle(g_error);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const sendral::Error &e) {
            std::string msg = e.what();
            while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
            while (!msg.empty() && msg.front() == '\n') msg.erase(0, 1);
            py::object err = py::reinterpret_borrow<py::object>(g_error)(msg);
            err.attr("status") = e.status();
            PyErr_SetObject(g_error, err.ptr());
        }
    });

    m.def("version", [] { return std::string(sendral::version()); });

    // For the tests: the matrix library misused, which must raise, not end Python.
    m.def("_misuse_matrix", [] {
        run_logged("sendral", [] {
            std::unique_ptr<matrix, void (*)(matrix *)> a(calloc_mtx(2, 3), free_mtx),
                b(calloc_mtx(2, 3), free_mtx);
            free_mtx(mtx_bmath(a.get(), b.get(), '*'));
            return 0;
        });
    });

    m.def(
        "read_image",
        [](const std::string &path, int depth) {
            sendral::GreyImage g =
                run_logged("lumivar", [&] { return lumivar::read_image(path, depth); });
            return owned(std::move(g.samples), {g.rows, g.cols});
        },
        py::arg("path"), py::arg("depth") = 1);

    py::class_<lumivar::Model>(m, "Model")
        .def(py::init([](const std::string &dir, int cls, int features, int map_kind, bool enforce,
                         bool learned, double smooth) {
                 return run_logged("lumivar", [&] {
                     return new lumivar::Model(dir, cls,
                                               lumivar::ModelOptions{features, map_kind, enforce},
                                               lumivar::MapOptions{learned, smooth});
                 });
             }),
             py::arg("result_dir"), py::arg("class_index"), py::arg("features") = 5,
             py::arg("map_kind") = 0, py::arg("enforce") = false, py::arg("learned") = false,
             py::arg("smooth") = -1.0)
        .def_property_readonly("depth", &lumivar::Model::depth)
        .def_property_readonly("features", &lumivar::Model::features)
        .def("detect",
             [](const lumivar::Model &self, const Input &in, bool nowta, bool scale_map) {
                 sendral::GreyView view;
                 const Grey *g = std::get_if<Grey>(&in);
                 if (g) view = view_of(*g);
                 lumivar::Result r = run_logged("lumivar", [&] {
                     return detect_one(self, in, g ? &view : nullptr, {nowta, scale_map});
                 });
                 return to_python(std::move(r));
             })
        .def("detect_many", &detect_many)
        .def("picture",
             [](const lumivar::Model &self, const Grey &map, const Grey &locations, int circles) {
                 lumivar::Result r;
                 const sendral::GreyView v = view_of(map);
                 r.rows = v.rows;
                 r.cols = v.cols;
                 r.map.assign(v.samples, v.samples + (size_t)v.rows * v.cols);
                 if (locations.size() > 0) {
                     if (locations.ndim() != 2 || locations.shape(1) != 4)
                         throw sendral::Error("locations must be an N x 4 array", 1);
                     for (py::ssize_t i = 0; i < locations.shape(0); i++)
                         r.locations.push_back({(int)locations.at(i, 0), (int)locations.at(i, 1),
                                                (int)locations.at(i, 2), locations.at(i, 3)});
                 }
                 std::vector<unsigned char> png =
                     run_logged("lumivar", [&] { return self.picture(r, circles); });
                 return py::bytes((const char *)png.data(), png.size());
             });

    m.def("refit", [](const std::string &out, int depth, bool exbfea, bool nodenoise) {
        sendral::TrainOptions opt;
        opt.exbfea = exbfea;
        opt.nodenoise = nodenoise;
        run_logged("sendral", [&] {
            sendral::refit(out, depth, opt);
            return 0;
        });
    });

    m.def("train", [](const std::vector<std::vector<Input>> &classes, int depth,
                      const std::string &out, bool exbfea, bool nodenoise, int threads,
                      py::object progress, const std::string &boxes) {
        std::vector<std::vector<sendral::TrainImage>> set(classes.size());
        for (size_t j = 0; j < classes.size(); j++)
            for (size_t i = 0; i < classes[j].size(); i++) {
                sendral::TrainImage t;
                if (const Grey *g = std::get_if<Grey>(&classes[j][i])) {
                    t.path = "(array " + std::to_string(i) + " of class " + std::to_string(j) + ")";
                    t.samples = view_of(*g);
                } else {
                    t.path = std::get<std::string>(classes[j][i]);
                }
                set[j].push_back(t);
            }
        sendral::TrainOptions opt;
        opt.exbfea = exbfea;
        opt.nodenoise = nodenoise;
        opt.threads = threads;
        if (!progress.is_none())
            opt.progress = [progress](int done, int total) {
                py::gil_scoped_acquire hold;
                progress(done, total);
            };
        run_logged("sendral", [&] {
            sendral::train(set, depth, out, opt, boxes);
            return 0;
        });
    });
}
