// Training spread over many runs: -shard computes the moments of one part of
// the class lists, -merge combines the parts and hands the moments to the
// ordinary training.
//
// A class's moments are averages of per-image sums, so parts merge exactly
// once each part records how many images it averaged: the merged average is
// sum(count * average) / sum(count), class by class.
//
// A shard folder carries a result directory's format entry (resultschema.h):
// shards of a format this version does not read, or of different formats,
// are not merged.
#include "shard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "classes.h"
#include "classstat.h"
#include "cli.h"
#include "dat.h"
#include "files.h"
#include "mres.h"
#include "resultschema.h"
#include "safewrite.h"
#include "sendral.h"
#include "tempfiles.h"
#include "fail.h"

namespace fs = std::filesystem;

namespace {

[[noreturn]] void usage_error(const char *fmt, const char *arg) {
    lib_printf(2, fmt, arg);
    exit_with_shard_help();
}

// ---- the shard record --------------------------------------------------------

// What a class list held when the shard was made: its name in the training
// list and a digest of its entries, so that a merge can tell a shard of an
// edited list, or of another training list, from one of the list it is given.
struct ClassList {
    std::string name, digest;
};

struct Record {
    int part = 0, nparts = 0, depth = 0, classes = 0;
    std::vector<int> listed;       // length of every class list when the shard was made
    std::vector<ClassList> lists;  // empty in the records of earlier versions
};

// FNV-1a (64 bits) of the entries joined by line ends, as 16 hex digits.
std::string entries_digest(const std::vector<std::string> &entries) {
    uint64_t h = 0xcbf29ce484222325ULL;
    auto add = [&](unsigned char c) { h = (h ^ c) * 0x100000001b3ULL; };
    for (size_t i = 0; i < entries.size(); i++) {
        if (i) add('\n');
        for (unsigned char c : entries[i]) add(c);
    }
    char hex[17];
    snprintf(hex, sizeof hex, "%016llx", (unsigned long long)h);
    return hex;
}

// A class list's record, from its entries as getFilename reads them; *count
// receives their number.
ClassList class_list_record(const std::string &list, int *count = nullptr) {
    std::vector<std::string> entries;
    if (!read_list_names(list.c_str(), &entries))
        die("Cannot read the class list %s\n", list.c_str());
    if (count) *count = (int)entries.size();
    return {list, entries_digest(entries)};
}

std::string record_text(const Record &r) {
    std::string t = "sendral shard\npart " + std::to_string(r.part) + "/" +
                    std::to_string(r.nparts) + "\ndepth " + std::to_string(r.depth) + "\nclasses " +
                    std::to_string(r.classes) + "\nlisted";
    for (int n : r.listed) t += " " + std::to_string(n);
    // List names hold no white space: the training list could not name them otherwise.
    for (size_t j = 0; j < r.lists.size(); j++)
        t += "\nlist " + std::to_string(j) + " " + r.lists[j].digest + " " + r.lists[j].name;
    return t + "\nend\n";
}

// True when dir holds a complete record; the closing "end" tells a whole
// record from a cut one.
bool read_record(const std::string &dir, Record *r) {
    std::ifstream in(result_path(dir, ResultFile::shard));
    std::string w1, w2, kn, word;
    if (!(in >> w1 >> w2) || w1 != "sendral" || w2 != "shard") return false;
    std::string depth, classes;
    if (!(in >> word >> kn) || word != "part") return false;
    size_t slash = kn.find('/');
    if (slash == std::string::npos || !parse_count(kn.substr(0, slash), &r->part) ||
        !parse_count(kn.substr(slash + 1), &r->nparts) || r->part >= r->nparts)
        return false;
    if (!(in >> word >> depth) || word != "depth" || !parse_count(depth, &r->depth)) return false;
    if (!(in >> word >> classes) || word != "classes" || !parse_count(classes, &r->classes))
        return false;
    if (!(in >> word) || word != "listed") return false;
    r->listed.assign(r->classes, 0);
    for (int &n : r->listed)
        if (!(in >> word) || !parse_count(word, &n)) return false;
    r->lists.clear();
    if (!(in >> word)) return false;
    // An earlier version's record ends here, without the class lists.
    for (int j = 0; j < r->classes && word == "list"; j++) {
        std::string index, digest, name;
        if (!(in >> index >> digest >> name) || index != std::to_string(j) || digest.size() != 16 ||
            digest.find_first_not_of("0123456789abcdef") != std::string::npos)
            return false;
        r->lists.push_back({name, digest});
        if (!(in >> word)) return false;
    }
    if (!r->lists.empty() && (int)r->lists.size() != r->classes) return false;
    return word == "end" && !(in >> word);
}

// ---- files -------------------------------------------------------------------

// What may be replaced: nothing, an empty folder, or an earlier shard.
// Anything else may be someone's data.
bool replaceable(const std::string &target) {
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return false;
    std::error_code ec;
    if (fs::is_empty(target, ec) && !ec) return true;
    Record r;
    return read_record(target, &r);
}

// The staging folder of the shard being written, under a temporary entry
// name: removed if the run ends before it is renamed into place, and by the
// next shard run into the same folder once this process is gone.
std::string make_staging(const std::string &parent) {
    remove_abandoned_temp_entries(parent);
    const std::string staging = make_staging_folder(parent, "");
    if (staging.empty()) die_errno("Cannot create a folder in", parent);
    return staging;
}

// Puts the staging folder at target in one step (an earlier shard there is
// exchanged for it and removed) and makes the change durable.
void install(const std::string &staging, const std::string &target) {
    if (!replaceable(target))
        die("%s appeared meanwhile and is not a shard folder; it is left alone\n", target.c_str());
    struct stat st;
    const bool existed = lstat(target.c_str(), &st) == 0;
    if (!replace_entry(staging, target))
        die_errno(existed ? "Cannot replace" : "Cannot create", target);
    release_staging_folder(staging);
    const fs::path parent = fs::path(target).parent_path();
    const std::string dir = parent.empty() ? "." : parent.string();
    if (!sync_entry(dir)) die_errno("Cannot sync", dir);
}

// The per-class counts of a shard: one whole number per class.
bool read_imgnum(const std::string &dir, int classnum, std::vector<int> *counts) {
    std::vector<std::string> words;
    if (!read_list_names(result_path(dir, ResultFile::imgnum).c_str(), &words) ||
        (int)words.size() != classnum)
        return false;
    counts->assign(classnum, 0);
    for (int j = 0; j < classnum; j++)
        if (!parse_count(words[j], &(*counts)[j])) return false;
    return true;
}

std::string part_name(const Record &r) {
    return std::to_string(r.part) + "/" + std::to_string(r.nparts);
}

}  // namespace

void exit_with_shard_help(void) {
    lib_fatal(1, "",
              "\nUsage: Sendral -shard k/n training_filelist pyr_depth shardpath\n"
              "       Sendral [options] -merge shardlist training_filelist pyr_depth "
              "salientfeaturepath\n"
              "-shard k/n: \t\tcompute only the statistics of the entries i of every class list\n"
              "\t\t\twith i mod n = k (0 <= k < n) into the folder shardpath\n"
              "-merge shardlist: \tmerge the shard folders named in shardlist and train from them\n"
              "\t\t\t(the other options as usual, except -fast and -b)\n");
}

int take_shard_options(int *argc, char **argv, int *part, int *nparts, char *shardlist) {
    int mode = SHARD_NONE, at = 0;
    const char *other = nullptr, *clash = nullptr;
    for (int i = 1; i < *argc && argv[i][0] == '-'; i++) {
        const char *a = argv[i];
        if (strcmp(a, "-shard") == 0 || strcmp(a, "-merge") == 0) {
            if (mode != SHARD_NONE) usage_error("%s: give one -shard or one -merge\n", a);
            if (i + 1 >= *argc) usage_error("option %s needs a value\n", a);
            mode = a[1] == 's' ? SHARD_PART : SHARD_MERGE;
            at = i++;
            continue;
        }
        if (!other) other = a;
        if (!clash && (a[1] == 'b' || strcmp(a, "-fast") == 0)) clash = a;
        if (a[1] == 'b' || a[1] == 'w') i++;  // skip the option's value
    }
    if (mode == SHARD_NONE) return SHARD_NONE;

    const char *value = argv[at + 1];
    if (mode == SHARD_PART) {
        if (other)
            usage_error("-shard computes only the statistics and takes no option such as %s\n",
                        other);
        std::string kn = value;
        size_t slash = kn.find('/');
        if (slash == std::string::npos || !parse_count(kn.substr(0, slash), part) ||
            !parse_count(kn.substr(slash + 1), nparts) || *part >= *nparts)
            usage_error("-shard needs k/n with whole numbers 0 <= k < n, not \"%s\"\n", value);
    } else {
        if (clash) usage_error("-merge trains from the shards and cannot go with %s\n", clash);
        if (strlen(value) >= SENDRAL_PATHLEN || value[0] == '\0')
            usage_error("shardlist \"%s\" is empty or too long\n", value);
        strcpy(shardlist, value);
    }
    for (int i = at; i + 2 <= *argc; i++) argv[i] = argv[i + 2];
    *argc -= 2;
    return mode;
}

int sendral_shard_run(const char *ListFilename, int pyddepth, int part, int nparts,
                      const char *shardpath) {
    lib_printf(1, "FileList = %s\npyddepth = %d\nshard = %d/%d\nshardpath = %s\nstarting...\n",
               ListFilename, pyddepth, part, nparts, shardpath);
    fflush(stdout);
    const double start = now_seconds();

    std::string target = shardpath;
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    const fs::path tp(target);
    const std::string base = tp.filename().string();
    if (base.empty() || base == "." || base == ".." || base == "/")
        die("shardpath %s does not name a folder that can be created\n", shardpath);
    if (!replaceable(target))
        die("%s exists and is not a shard folder; it is left alone\n", target.c_str());
    const std::string parent = tp.parent_path().empty() ? "." : tp.parent_path().string();
    std::error_code ec;
    fs::create_directories(parent, ec);
    if (ec) die("Cannot create folder %s: %s\n", parent.c_str(), ec.message().c_str());
    // Made now so that a folder that takes no files is found before the images are read.
    const std::string staging = make_staging(parent);

    matrix *dctarr = initdct(8);
    int classnum = 0;
    char **lists = getFilename(ListFilename, &classnum);
    if (classnum < 1) die("The training list %s holds no class list name\n", ListFilename);
    lib_printf(1, "classnum = %d\nComputing the stats for DCT featurs...\n", classnum);

    Record rec;
    rec.part = part;
    rec.nparts = nparts;
    rec.depth = pyddepth;
    rec.classes = classnum;
    rec.listed.assign(classnum, 0);
    std::vector<int> counted(classnum, 0);
    for (int j = 0; j < classnum; j++)
        rec.lists.push_back(class_list_record(lists[j], &counted[j]));
    std::vector<int> usable(classnum, 0);
    matrix *Allmnt = getPartmnts_DCT(lists, classnum, pyddepth, dctarr, part, nparts, usable.data(),
                                     rec.listed.data());
    for (int j = 0; j < classnum; j++)
        if (rec.listed[j] != counted[j])
            die("The class list %s changed while the shard was made; make it again\n", lists[j]);

    lib_printf(1, "Saving...");
    fflush(stdout);
    mtx2dat(Allmnt, result_path(staging, ResultFile::allmnt, pyddepth).c_str());
    write_imgnum(staging.c_str(), usable.data(), classnum);
    write_text(result_path(staging, ResultFile::shard), record_text(rec));
    write_text(result_path(staging, ResultFile::format), result_format_text());
    if (!sync_tree(staging)) die_errno("Cannot sync", staging);
    install(staging, target);
    lib_printf(1, "Done.\n");

    free_mtx(Allmnt);
    free_mtx(dctarr);
    for (int j = 0; j < classnum; j++) free(lists[j]);
    free(lists);
    lib_notice(1, "%s", time_usage(now_seconds() - start).c_str());
    return 0;
}

matrix *merge_shards(const char *shardlist, const char *ListFilename, int pyddepth, int **imgnum) {
    std::vector<std::string> classlists;
    if (!read_list_names(ListFilename, &classlists))
        die("Cannot read the training list %s\n", ListFilename);
    const int classnum = (int)classlists.size();
    if (classnum < 1) die("The training list %s holds no class list name\n", ListFilename);
    std::vector<ClassList> now;  // the class lists as they are
    for (const std::string &c : classlists) now.push_back(class_list_record(c));

    int nlisted = 0;
    char **names = getFilename(shardlist, &nlisted);
    std::vector<std::string> dirs(names, names + nlisted);
    for (int i = 0; i < nlisted; i++) free(names[i]);
    free(names);
    if (dirs.empty()) die("The shard list %s names no shard folder\n", shardlist);

    // Every record first: nothing is loaded until the set is known to be whole.
    std::vector<Record> recs(dirs.size());
    // Which folder each one was, to tell one replaced by a -shard run while
    // it is read (its files would come from two shards).
    std::vector<std::pair<dev_t, ino_t>> ids(dirs.size());
    std::vector<int> formats(dirs.size(), 0);
    for (size_t s = 0; s < dirs.size(); s++) {
        const char *d = dirs[s].c_str();
        Record &r = recs[s];
        struct stat st;
        if (stat(d, &st) != 0 || !S_ISDIR(st.st_mode))
            die("Shard folder %s (listed in %s) does not exist\n", d, shardlist);
        ids[s] = {st.st_dev, st.st_ino};
        // Before the record: a newer format may lay it out otherwise.
        formats[s] = read_result_format(dirs[s]);
        if (formats[s] == 0) check_result_format(dirs[s], "Shard");
        if (formats[s] != formats[0])
            die("Shards %s (format %d) and %s (format %d) were made by different versions of "
                "Sendral; make them again with one\n",
                dirs[0].c_str(), formats[0], d, formats[s]);
        check_result_format(dirs[s], "Shard");
        if (!read_record(dirs[s], &r))
            die("Shard folder %s holds no complete shard record: not a shard, or its run "
                "was interrupted\n",
                d);
        if (r.depth != pyddepth)
            die("Shard %s is of pyramid depth %d, not %d\n", d, r.depth, pyddepth);
        if (r.classes != classnum)
            die("Shard %s has %d classes; the training list %s has %d\n", d, r.classes,
                ListFilename, classnum);
        // Refused rather than trusted: such a shard may be of any lists.
        if (r.lists.empty())
            die("Shard %s was made by an earlier version of Sendral, whose record does not say "
                "which class lists it was made from; make it again\n",
                d);
        for (int j = 0; j < classnum; j++)
            if (r.lists[j].digest != now[j].digest)
                die("Shard %s does not match class %d of the training list %s: it was made from "
                    "%s with other entries than %s holds now (an edited list, or a shard of "
                    "another training list); make the shard again\n",
                    d, j, ListFilename, r.lists[j].name.c_str(), now[j].name.c_str());
        const Record &r0 = recs[0];
        if (r.nparts != r0.nparts)
            die("Shards %s (part %s) and %s (part %s) split the lists in different numbers "
                "of parts\n",
                dirs[0].c_str(), part_name(r0).c_str(), d, part_name(r).c_str());
        if (r.listed != r0.listed)
            die("Shards %s and %s were made from class lists of different lengths\n",
                dirs[0].c_str(), d);
        for (size_t t = 0; t < s; t++)
            if (recs[t].part == r.part)
                die("Shards %s and %s are both part %s\n", dirs[t].c_str(), d,
                    part_name(r).c_str());
    }
    const int nparts = recs[0].nparts;
    if ((int)dirs.size() != nparts) {
        std::vector<bool> have(nparts, false);
        for (const Record &r : recs) have[r.part] = true;
        std::string missing;
        for (int k = 0; k < nparts; k++)
            if (!have[k]) missing += (missing.empty() ? "" : ", ") + std::to_string(k);
        die("The shards listed in %s lack part(s) %s of %d\n", shardlist, missing.c_str(), nparts);
    }

    // Summed in part order, so that the result does not depend on the list's order.
    std::vector<size_t> order(dirs.size());
    for (size_t s = 0; s < order.size(); s++) order[recs[s].part] = s;
    const std::string mntname = "/" + result_name(ResultFile::allmnt, pyddepth);
    const int rows = 64 * pyddepth, cols = 4 * classnum;
    matrix *sum = calloc_mtx(rows, cols);
    std::vector<long long> total(classnum, 0);
    lib_printf(1, "Merging the stats of %d shards...", nparts);
    fflush(stdout);
    for (size_t s : order) {
        const std::string &d = dirs[s];
        std::vector<int> counts;
        struct stat st;
        if (!read_imgnum(d, classnum, &counts) || stat((d + mntname).c_str(), &st) != 0)
            die("Shard %s is incomplete: it needs imgnum with %d counts and %s\n", d.c_str(),
                classnum, mntname.c_str() + 1);
        matrix *m = dat2mtx((d + mntname).c_str());
        if (stat(d.c_str(), &st) != 0 || std::make_pair(st.st_dev, st.st_ino) != ids[s])
            die("Shard folder %s was replaced while it was read; merge again\n", d.c_str());
        if (m->nrows != rows || m->ncols != cols)
            die("Shard %s: %s is %d x %d, not %d x %d\n", d.c_str(), mntname.c_str() + 1, m->nrows,
                m->ncols, rows, cols);
        for (int j = 0; j < classnum; j++) {
            total[j] += counts[j];
            for (int f = 0; f < rows; f++)
                for (int c = 4 * j; c < 4 * j + 4; c++) sum->pix[f][c] += counts[j] * m->pix[f][c];
        }
        free_mtx(m);
    }
    for (int j = 0; j < classnum; j++) {
        if (total[j] == 0)
            die("Class %d (list %s) has no usable image in any shard\n", j, classlists[j].c_str());
        if (total[j] > INT_MAX) die("Class %d counts too many images\n", j);
    }
    *imgnum = (int *)malloc(sizeof(int) * classnum);
    for (int j = 0; j < classnum; j++) {
        (*imgnum)[j] = (int)total[j];
        for (int f = 0; f < rows; f++)
            for (int c = 4 * j; c < 4 * j + 4; c++) sum->pix[f][c] /= (double)total[j];
    }
    lib_printf(1, "Done.\n");
    return sum;
}

void write_imgnum(const char *dir, const int *imgnum, int classnum) {
    std::string text;
    for (int j = 0; j < classnum; j++) text += std::to_string(imgnum[j]) + "\n";
    write_text(result_path(dir, ResultFile::imgnum), text);
}
