// Run records (--json FILE): what a run did, in JSON, for programs to read.
//
// A record is built as the run goes (settings first, then one entry per
// image or class) and written whole at the end, under a temporary name
// renamed into place, so a reader never sees half a record. A run that
// stops on a failure still writes its record, with the status and the
// message, through the programs' fatal hook (record_fatal_handler).
#ifndef RECORD_H
#define RECORD_H

#include <memory>
#include <string>
#include <utility>
#include <vector>

// A JSON value: null, boolean, number, string, array or object (whose
// members keep the order they were set in).
class Json {
public:
    Json() = default;  // null
    Json(bool b);
    Json(int v);
    Json(long v);
    Json(double v);
    Json(const char *s);
    Json(const std::string &s);
    static Json array();
    static Json object();

    // Objects: the member `key` (made, null, when absent).
    Json &operator[](const std::string &key);
    // Arrays: appends v and returns it.
    Json &push(Json v);
    std::string text(int indent = 0) const;

private:
    enum Kind { null, boolean, number, string, list, members } kind_ = null;
    bool b_ = false;
    std::string s_;  // number (already formatted) or string
    std::vector<Json> items_;
    std::vector<std::pair<std::string, Json>> fields_;
};

// The record of this run, when --json was given.
class RunRecord {
public:
    // path empty: a record that is kept but never written. `command` is
    // the program's whole command line.
    RunRecord(const std::string &program, const std::string &path,
              const std::vector<std::string> &command);
    ~RunRecord();
    RunRecord(const RunRecord &) = delete;
    RunRecord &operator=(const RunRecord &) = delete;

    Json &root() { return root_; }
    // Writes the record with "status" (and "error" when not empty); true
    // when written, false after a message naming the file.
    bool write(int status, const std::string &error = "");

private:
    std::string path_;
    Json root_;
    double start_;
};

// The programs' fatal hook when a record is open: the record is written
// with the failure, then the message is printed and the process ends as
// with fatal_exit_handler.
struct fatal_report;
void record_fatal_handler(const fatal_report *report);

// For the programs' main(), inside a catch block: the exception that
// escaped the run ends it through the fatal hook with a message and status
// 1 (a sendral::Error with its own text and status), never as an abort.
[[noreturn]] void fail_on_escaped_exception(const char *program);

// Takes the long options --json FILE and --quiet out of argv wherever they
// stand among the leading options (updating *argc), so that the programs'
// own parsers see their usual command line. A --json without a file is a
// usage error (the message, then `on_usage_error`).
void take_record_options(int *argc, char **argv, std::string *json, bool *quiet,
                         void (*on_usage_error)(void));

#endif
