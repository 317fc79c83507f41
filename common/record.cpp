#include "record.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <new>

#include "cli.h"
#include "fail.h"
#include "safewrite.h"
#include "tempfiles.h"

Json::Json(bool b) : kind_(boolean), b_(b) {}
Json::Json(int v) : kind_(number), s_(std::to_string(v)) {}
Json::Json(long v) : kind_(number), s_(std::to_string(v)) {}
Json::Json(double v) : kind_(number) {
    if (!std::isfinite(v)) {  // JSON has no NaN or infinity
        kind_ = null;
        return;
    }
    char buf[40];
    snprintf(buf, sizeof buf, "%.17g", v);
    s_ = buf;
}
Json::Json(const char *s) : kind_(string), s_(s ? s : "") {}
Json::Json(const std::string &s) : kind_(string), s_(s) {}

Json Json::array() {
    Json j;
    j.kind_ = list;
    return j;
}

Json Json::object() {
    Json j;
    j.kind_ = members;
    return j;
}

Json &Json::operator[](const std::string &key) {
    if (kind_ != members) *this = object();
    for (auto &f : fields_)
        if (f.first == key) return f.second;
    fields_.emplace_back(key, Json());
    return fields_.back().second;
}

Json &Json::push(Json v) {
    if (kind_ != list) *this = array();
    items_.push_back(std::move(v));
    return items_.back();
}

namespace {

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += (char)c;  // file names are bytes; UTF-8 passes as it is
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string Json::text(int indent) const {
    const std::string pad(indent + 2, ' '), end(indent, ' ');
    switch (kind_) {
        case null: return "null";
        case boolean: return b_ ? "true" : "false";
        case number: return s_;
        case string: return quoted(s_);
        case list: {
            if (items_.empty()) return "[]";
            // Short arrays of numbers (a location) stay on one line.
            bool flat = items_.size() <= 4;
            for (const Json &v : items_) flat = flat && (v.kind_ == number || v.kind_ == null);
            std::string out = "[";
            for (size_t i = 0; i < items_.size(); i++)
                out += (i ? "," : "") + (flat ? (i ? " " : "") : "\n" + pad) +
                       items_[i].text(indent + 2);
            return out + (flat ? "]" : "\n" + end + "]");
        }
        case members: {
            if (fields_.empty()) return "{}";
            std::string out = "{";
            for (size_t i = 0; i < fields_.size(); i++)
                out += (i ? ",\n" : "\n") + pad + quoted(fields_[i].first) + ": " +
                       fields_[i].second.text(indent + 2);
            return out + "\n" + end + "}";
        }
    }
    return "null";
}

// ---- the run record -------------------------------------------------------------

namespace {
RunRecord *g_open = nullptr;  // the record a fatal failure writes
}

RunRecord::RunRecord(const std::string &program, const std::string &path,
                     const std::vector<std::string> &command)
    : path_(path), root_(Json::object()), start_(now_seconds()) {
    root_["program"] = program;
    root_["version"] = SENDRAL_VERSION;
    root_["imagemagick"] = magick_version_text();
    Json &cmd = root_["command"] = Json::array();
    for (const std::string &a : command) cmd.push(a);
    if (!path_.empty()) g_open = this;
}

RunRecord::~RunRecord() {
    if (g_open == this) g_open = nullptr;
}

bool RunRecord::write(int status, const std::string &error) {
    if (path_.empty()) return true;
    if (g_open == this) g_open = nullptr;  // written once
    root_["status"] = status;
    if (!error.empty()) root_["error"] = error;
    root_["seconds"] = now_seconds() - start_;
    const std::string text = root_.text() + "\n";
    const std::string tmp = temp_name_beside(path_);
    FILE *f = fopen(tmp.c_str(), "w");
    if (f) temp_entry_made(tmp);
    bool ok = f && fwrite(text.data(), 1, text.size(), f) == text.size();
    if (f && fclose(f) != 0) ok = false;
    if (ok && replace_entry(tmp, path_)) return true;
    const int err = errno;
    remove_tree(tmp);
    lib_notice(2, "Cannot write the run record %s: %s\n", path_.c_str(), strerror(err));
    return false;
}

void record_fatal_handler(const fatal_report *report) {
    if (RunRecord *r = g_open) {
        std::string msg = std::string(report->out) + report->err;
        while (!msg.empty() && (msg.back() == '\n' || msg.front() == '\n')) {
            if (msg.back() == '\n')
                msg.pop_back();
            else
                msg.erase(0, 1);
        }
        r->write(report->status, msg.empty() ? "stopped" : msg);
    }
    fatal_exit_handler(report);
}

void fail_on_escaped_exception(const char *program) {
    std::string why;
    try {
        throw;
    } catch (const sendral::Error &e) {
        why = e.what();
        if (why.empty() || why.back() != '\n') why += "\n";
        lib_fatal(e.status(), why);
    } catch (const std::bad_alloc &) {
        why = "out of memory";
    } catch (const std::exception &e) {
        why = e.what();
    } catch (...) {
        why = "unknown failure";
    }
    lib_fatal(1, std::string(program) + ": " + why + "; the run stops\n");
}

void take_record_options(int *argc, char **argv, std::string *json, bool *quiet,
                         void (*on_usage_error)(void)) {
    int out = 1;
    for (int i = 1; i < *argc; i++) {
        if (strcmp(argv[i], "--quiet") == 0) {
            *quiet = true;
        } else if (strcmp(argv[i], "--json") == 0) {
            if (i + 1 >= *argc || argv[i + 1][0] == '\0') {
                lib_notice(2, "--json needs the name of the record file\n");
                on_usage_error();
            }
            *json = argv[++i];
        } else {
            argv[out++] = argv[i];
        }
    }
    argv[out] = nullptr;
    *argc = out;
}
