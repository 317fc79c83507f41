// The entries of a training's result directory, in one table: the trainer
// writes them under these names, the detector, Sendral -fast / -b and the
// shard merge read them under these names, and python/sendral/io.py mirrors
// the table (RESULT_FILES there).
//
// A directory says which format it holds in its entry `format`: the version
// number as text and a line end. A directory without it is of the first
// format (every directory written before the entry existed); one of a
// version newer than kResultFormat, or whose entry names no version, is
// refused by every reader, since its files may mean something else.
//
// To add a file: a ResultFile value, its row in the table of
// resultschema.cpp (same order), the row in python/sendral/io.py, and the
// README's list of result files. A file that changes what an existing one
// means, or that a reader of the current format cannot do without, also
// raises kResultFormat.
#ifndef RESULTSCHEMA_H
#define RESULTSCHEMA_H

#include <array>
#include <string>

// The version a training writes, and the newest a reader accepts.
constexpr int kResultFormat = 1;

enum class ResultFile {
    allmnt,             // Allmnt<depth>.dat
    allalpha,           // Allalpha.dat
    allbeta,            // Allbeta.dat
    classmd,            // classMD.dat
    standvar,           // StandVar.dat
    sortmds,            // sortMDs.dat
    sortcosts,          // sortCosts.dat
    sortidx,            // sortidx.dat
    pyddepth,           // pyddepth
    salientfeaturenum,  // salientfeaturenum
    qor_class,          // Qor_class_<j>
    timeusage,          // timeusage
    learned_class,      // learned_class_<j>
    imgnum,             // imgnum
    shard,              // shard
    format,             // format
};
constexpr int kResultFileCount = (int)ResultFile::format + 1;

// What completes an entry's name between its prefix and its suffix.
enum class ResultNumber { none, depth, klass };
enum class ResultKind { datfile, text };
// Whether an entry is in every folder of a kind, only in some (written
// with an option), or never.
enum class Presence { always, optional, never };

struct ResultFileInfo {
    ResultFile id;
    const char *prefix, *suffix;  // the name: prefix, the number if any, suffix
    ResultNumber number;
    ResultKind kind;
    Presence in_model;  // in a result directory
    Presence in_shard;  // in a folder of Sendral -shard
    const char *holds;  // content and shape, F = 64 * depth features, K classes
};

// Every entry, in the order of ResultFile.
const std::array<ResultFileInfo, kResultFileCount> &result_files();
const ResultFileInfo &result_file(ResultFile f);

// The entry's name; `number` is the depth or the class index where the
// name holds one, and is not used otherwise.
std::string result_name(ResultFile f, int number = 0);
// dir + "/" + the entry's name.
std::string result_path(const std::string &dir, ResultFile f, int number = 0);
// The entry that `name` is (*number set when the name holds one); null when
// it is none of the table's.
const ResultFileInfo *result_file_named(const std::string &name, int *number);

// The text of the format entry for `version`.
std::string result_format_text(int version = kResultFormat);
// The version that dir says it holds: 1 without the entry, 0 when the entry
// names no version (*text then receives the start of what it holds).
int read_result_format(const std::string &dir, std::string *text = nullptr);
// Why a reader refuses dir ("<what> <dir> holds ..."), empty when it can
// read it. `what` names the folder in the message.
std::string result_format_refusal(const std::string &dir, const char *what = "Result directory");
// Stops with that message (status 1, the fatal hook) when dir is refused.
void check_result_format(const std::string &dir, const char *what = "Result directory");

#endif
