// The table of result-directory entries and the format entry's reading.
#include "resultschema.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli.h"

namespace {

using K = ResultKind;
using N = ResultNumber;
using P = Presence;

const std::array<ResultFileInfo, kResultFileCount> kFiles = {{
    {ResultFile::allmnt, "Allmnt", ".dat", N::depth, K::datfile, P::always, P::always,
     "F x 4K: the first four raw moments of every feature per class"},
    {ResultFile::allalpha, "Allalpha.dat", "", N::none, K::datfile, P::always, P::never,
     "F x K: GGD scale of every feature per class"},
    {ResultFile::allbeta, "Allbeta.dat", "", N::none, K::datfile, P::always, P::never,
     "F x K: GGD shape of every feature per class"},
    {ResultFile::classmd, "classMD.dat", "", N::none, K::datfile, P::always, P::never,
     "K x F: MD score of every feature per class"},
    {ResultFile::standvar, "StandVar.dat", "", N::none, K::datfile, P::always, P::never,
     "F x 1: variance of every feature over all classes"},
    {ResultFile::sortmds, "sortMDs.dat", "", N::none, K::datfile, P::always, P::never,
     "K x F: per class, the scores in ranking order"},
    {ResultFile::sortcosts, "sortCosts.dat", "", N::none, K::datfile, P::always, P::never,
     "K x F: per class, the relative costs in ranking order"},
    {ResultFile::sortidx, "sortidx.dat", "", N::none, K::datfile, P::always, P::never,
     "K x F: per class, the feature indices in ranking order"},
    {ResultFile::pyddepth, "pyddepth", "", N::none, K::text, P::always, P::never, "the depth"},
    {ResultFile::salientfeaturenum, "salientfeaturenum", "", N::none, K::text, P::always, P::never,
     "one line per class: its number of salient features"},
    {ResultFile::qor_class, "Qor_class_", "", N::klass, K::text, P::always, P::never,
     "one line per feature of class j, best first: cost, score, level, index"},
    {ResultFile::timeusage, "timeusage", "", N::none, K::text, P::always, P::never,
     "Time usage: <seconds> Sec"},
    {ResultFile::learned_class, "learned_class_", "", N::klass, K::text, P::optional, P::never,
     "with --boxes, per object class: the learned weights"},
    {ResultFile::imgnum, "imgnum", "", N::none, K::text, P::optional, P::always,
     "with -merge, and in a shard: one line per class, the images averaged"},
    {ResultFile::shard, "shard", "", N::none, K::text, P::never, P::always,
     "the shard's record: its part, depth, classes and class lists"},
    {ResultFile::format, "format", "", N::none, K::text, P::always, P::always,
     "the format version, a whole number and a line end (absent: 1)"},
}};

// Room for any version number and a line end; more is no format entry.
constexpr size_t kFormatMost = 32;

bool all_digits(const std::string &s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

const std::array<ResultFileInfo, kResultFileCount> &result_files() { return kFiles; }

const ResultFileInfo &result_file(ResultFile f) { return kFiles[(int)f]; }

std::string result_name(ResultFile f, int number) {
    const ResultFileInfo &e = result_file(f);
    std::string name = e.prefix;
    if (e.number != ResultNumber::none) name += std::to_string(number);
    return name + e.suffix;
}

std::string result_path(const std::string &dir, ResultFile f, int number) {
    return dir + "/" + result_name(f, number);
}

const ResultFileInfo *result_file_named(const std::string &name, int *number) {
    for (const ResultFileInfo &e : kFiles) {
        const size_t p = strlen(e.prefix), s = strlen(e.suffix);
        if (name.size() < p + s || name.compare(0, p, e.prefix) != 0 ||
            name.compare(name.size() - s, s, e.suffix) != 0)
            continue;
        const std::string mid = name.substr(p, name.size() - p - s);
        if (e.number == ResultNumber::none
                ? !mid.empty()
                : !all_digits(mid) || mid.size() > 9 || (mid.size() > 1 && mid[0] == '0'))
            continue;
        if (e.number != ResultNumber::none && number) *number = std::stoi(mid);
        return &e;
    }
    return nullptr;
}

std::string result_format_text(int version) { return std::to_string(version) + "\n"; }

int read_result_format(const std::string &dir, std::string *text) {
    const std::string path = result_path(dir, ResultFile::format);
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return 1;
    char buf[kFormatMost + 1];
    const ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof buf);
    if (fd >= 0) close(fd);
    std::string t(buf, n > 0 ? (size_t)n : 0);
    if (text) *text = t;
    if (n < 0 || (size_t)n > kFormatMost) return 0;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    if (!all_digits(t) || t.size() > 9) return 0;
    return std::stoi(t);
}

std::string result_format_refusal(const std::string &dir, const char *what) {
    std::string text;
    const int version = read_result_format(dir, &text);
    if (version >= 1 && version <= kResultFormat) return "";
    const std::string head = std::string(what) + " " + dir;
    if (version > kResultFormat)
        return head + " holds result format " + std::to_string(version) + ", newer than format " +
               std::to_string(kResultFormat) + ", the newest that Sendral and Lumivar " +
               SENDRAL_VERSION + " read; use the version that wrote it";
    // The start of what it holds, on one line.
    std::string shown;
    for (char c : text.substr(0, 16)) shown += c == '\n' ? ' ' : c;
    return head + " has a format entry that names no format version (\"" + shown + "\")";
}

void check_result_format(const std::string &dir, const char *what) {
    const std::string why = result_format_refusal(dir, what);
    if (!why.empty()) die(why);
}
