// Sendral's run: moments per class (computed, or loaded under -fast / -b),
// GGD fits and MD scores, feature selection, and the result directory.
//
// Everything that could stop a long run late is checked before the first
// image is read: the result directory exists and takes new files, every
// class list to be read holds names, and every image it names can be opened.
// Failures print a message naming the file on standard error and end the
// process with status 1.
//
// Result files are written into a staging folder and swapped in at the end
// (resultdir.h), so the result directory always holds one whole model.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boxes.h"
#include "classes.h"
#include "classstat.h"
#include "cli.h"
#include "dat.h"
#include "files.h"
#include "imgconv.h"
#include "mres.h"
#include "mtx.h"
#include "owners.h"
#include "record.h"
#include "resultdir.h"
#include "resultschema.h"
#include "sendral.h"
#include "learn.h"
#include "longopt.h"
#include "shard.h"
#include "fail.h"

namespace {

bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: every missing component of `path`, parents first.
void make_dirs(const std::string &path) {
    for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
        std::string part = path.substr(0, pos);
        // EEXIST is fine only when another process made the directory meanwhile.
        if (!part.empty() && !is_dir(part) && mkdir(part.c_str(), 0777) != 0 &&
            !(errno == EEXIST && is_dir(part)))
            die_errno("Cannot create result directory", part);
        if (pos == std::string::npos) break;
    }
}

void write_matrix(matrix *m, const std::string &path) {
    if (!write_step()) die_errno("Cannot write", path);
    mtx2dat(m, path.c_str());
}

}  // namespace

void write_text(const std::string &path, const std::string &text) {
    if (!write_step()) die_errno("Cannot write", path);
    FILE *fp = fopen(path.c_str(), "w");
    if (!fp) die_errno("Cannot write", path);
    bool ok = fwrite(text.data(), 1, text.size(), fp) == text.size();
    if (fclose(fp) != 0 || !ok) die_errno("Cannot write", path);
}

int prepare_result_dir(const char *savepath) {
    std::string dir = savepath;
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            lib_fatalf(1, "Result directory %s is not a directory\n", savepath);
        }
    } else {
        make_dirs(dir);
    }
    // A probe file says more than access(): it also catches read-only mounts
    // and a full table of inodes.
    std::string probe = dir + "/.sendral_probe_XXXXXX";
    std::vector<char> tmpl(probe.begin(), probe.end());
    tmpl.push_back('\0');
    int fd = mkstemp(tmpl.data());
    if (fd < 0) die_errno("Cannot write into result directory", dir);
    close(fd);
    unlink(tmpl.data());
    return result_dir_lock(dir);
}

void warn_featureless_classes(const FeatureRanking &ranking,
                              const std::vector<std::string> &class_lists) {
    for (int j = 1; j < (int)ranking.counts.size(); j++)
        if (ranking.counts[j] == 0)
            lib_printf(2,
                       "Warning: class %d (list %s) has no salient feature, so Lumivar cannot "
                       "look for it; try more and more varied images of the class, training "
                       "without -exBfea or with -nodenoise, or another pyr_depth\n",
                       j, j < (int)class_lists.size() ? class_lists[j].c_str() : "(in memory)");
}

// ---- steps ------------------------------------------------------------------------

GgdFits fit_classes(matrix *Allmnt, int classnum) {
    const int ftnum = Allmnt->nrows;
    lib_printf(1, "Computing the stats and KL for each class...\n");
    GgdFits f;
    f.classMD.reset(calloc_mtx(classnum, ftnum));
    f.StandVar.reset(calloc_mtx(ftnum, 1));
    f.Allalpha.reset(calloc_mtx(ftnum, classnum));
    f.Allbeta.reset(calloc_mtx(ftnum, classnum));
    classStat_GGD(Allmnt, classnum, f.classMD.get(), f.StandVar.get(), f.Allalpha.get(),
                  f.Allbeta.get());
    lib_printf(1, "Done.\n");
    return f;
}

FeatureRanking select_features(matrix *Allmnt, GgdFits &fits, int classnum, int exBfea, int ishue,
                               int isdenoise) {
    const int ftnum = Allmnt->nrows;
    lib_printf(1, "Selecting features...\n");
    FeatureRanking r;
    r.sortMDs.reset(calloc_mtx(classnum, ftnum));
    r.sortCosts.reset(calloc_mtx(classnum, ftnum));
    r.sortidx.reset(calloc_mtx(classnum, ftnum));
    std::unique_ptr<int, FreeDeleter> finuse(SalientFeatures_Qor_GGD(
        Allmnt, fits.Allbeta.get(), classnum, exBfea, fits.StandVar.get(), fits.classMD.get(),
        ishue, r.sortMDs.get(), r.sortCosts.get(), r.sortidx.get(), isdenoise));
    r.counts.assign(finuse.get(), finuse.get() + classnum);
    lib_printf(1, "Done.\n");
    return r;
}

ResultWriter::ResultWriter(const std::string &dir) : dir_(dir) {
    lock_ = prepare_result_dir(dir.c_str());
}

ResultWriter::~ResultWriter() {
    if (!committed_) result_dir_discard(staging_);
    result_dir_unlock(lock_);
}

const std::string &ResultWriter::stage() {
    if (staging_.empty()) staging_ = result_dir_stage(dir_);
    return staging_;
}

void ResultWriter::write_fits(const matrix *Allmnt, int pyddepth, const GgdFits &fits,
                              const int *imgnum, int classnum) {
    lib_printf(1, "Saving...");
    fflush(stdout);
    const std::string &st = stage();
    if (imgnum) write_imgnum(st.c_str(), imgnum, classnum);
    write_matrix((matrix *)Allmnt, result_path(st, ResultFile::allmnt, pyddepth));
    write_matrix(fits.Allalpha.get(), result_path(st, ResultFile::allalpha));
    write_matrix(fits.Allbeta.get(), result_path(st, ResultFile::allbeta));
    write_matrix(fits.classMD.get(), result_path(st, ResultFile::classmd));
    write_matrix(fits.StandVar.get(), result_path(st, ResultFile::standvar));
    lib_printf(1, "Done.\n");
}

void ResultWriter::write_ranking(const FeatureRanking &r, int pyddepth, int classnum) {
    lib_printf(1, "Saving...");
    fflush(stdout);
    const std::string &st = stage();
    write_matrix(r.sortMDs.get(), result_path(st, ResultFile::sortmds));
    write_matrix(r.sortCosts.get(), result_path(st, ResultFile::sortcosts));
    write_matrix(r.sortidx.get(), result_path(st, ResultFile::sortidx));
    write_text(result_path(st, ResultFile::pyddepth), std::to_string(pyddepth));
    std::string counts;
    for (int j = 0; j < classnum; j++) counts += std::to_string(r.counts[j]) + "\n";
    write_text(result_path(st, ResultFile::salientfeaturenum), counts);
    lib_printf(1, "Done.\n");

    for (int j = 0; j < classnum; j++) {
        const std::string name = result_path(st, ResultFile::qor_class, j);
        if (!write_step()) die_errno("Cannot write", name);
        dumpSalFts(r.sortCosts.get(), r.sortMDs.get(), r.sortidx.get(), j, pyddepth, 64,
                   name.c_str());
    }
}

void ResultWriter::write_extra(const std::string &name, const std::string &text) {
    write_text(stage() + "/" + name, text);
}

void ResultWriter::commit(const std::string &timeusage) {
    const std::string &st = stage();
    write_text(result_path(st, ResultFile::timeusage), timeusage);
    if (!result_dir_commit(dir_, st)) lib_fatal(1, "");
    committed_ = true;
}

int sendral_run(int argc, char **argv) {
    // --json FILE and --quiet may stand anywhere among the options.
    const std::vector<std::string> command(argv, argv + argc);
    std::string json;
    bool quiet = false;
    take_record_options(&argc, argv, &json, &quiet, exit_with_help);
    set_quiet_messages(quiet);
    // --boxes FILE: learned weights after the training (learn.h).
    std::string boxes;
    take_long_option(&argc, argv, "--boxes", &boxes, exit_with_help);
    // -shard / -merge: training spread over many runs (shard.h).
    int shard_k = 0, shard_n = 0;
    char shardlist[SENDRAL_PATHLEN];
    const int shard_mode = take_shard_options(&argc, argv, &shard_k, &shard_n, shardlist);
    char ListFilename[SENDRAL_PATHLEN], savepath[SENDRAL_PATHLEN];
    char bkhistpath[SENDRAL_PATHLEN], wtfilelist[SENDRAL_PATHLEN];
    int pyddepth, isfast, exBfea, isbkpath, isweight, ishue, isdenoise, threads;
    parse_command_line(argc, argv, ListFilename, savepath, &pyddepth, &isfast, &exBfea, &isbkpath,
                       bkhistpath, &isweight, wtfilelist, &ishue, &isdenoise, &threads);
    RunRecord record("Sendral", json, command);
    {
        Json &s = record.root()["settings"] = Json::object();
        s["training_filelist"] = ListFilename;
        s["pyr_depth"] = pyddepth;
        s[shard_mode == SHARD_PART ? "shardpath" : "salientfeaturepath"] = savepath;
        s["-fast"] = isfast != 0;
        s["-b"] = isbkpath ? Json(bkhistpath) : Json();
        s["-w"] = isweight ? Json(wtfilelist) : Json();
        s["-h"] = ishue != 0;
        s["-nodenoise"] = isdenoise == 0;
        s["-exBfea"] = exBfea != 0;
        s["-j"] = shard_mode == SHARD_PART ? 1 : threads;
        s["-shard"] = shard_mode == SHARD_PART
                          ? Json(std::to_string(shard_k) + "/" + std::to_string(shard_n))
                          : Json();
        s["-merge"] = shard_mode == SHARD_MERGE ? Json(shardlist) : Json();
        s["--quiet"] = quiet;
        if (!boxes.empty()) s["--boxes"] = boxes;
    }
    if (shard_mode == SHARD_PART) {
        if (!boxes.empty())
            die("--boxes does not go with -shard (a part reads only some images): give it to "
                "the -merge run");
        const int status = sendral_shard_run(ListFilename, pyddepth, shard_k, shard_n, savepath);
        record.write(status);
        return status;
    }

    lib_printf(1, "FileList = %s\npyddepth = %d\nsavepath = %s\n", ListFilename, pyddepth,
               savepath);
    if (isbkpath) lib_printf(1, "BkgHistogramPath = %s\n", bkhistpath);
    if (isweight) lib_printf(1, "WeightFileList = %s\n", wtfilelist);
    lib_printf(1, "isdenoise = %d\n", isdenoise);
    lib_printf(1, "starting...\n");
    fflush(stdout);

    // The shards are checked and merged before anything is written.
    int *merged_counts = nullptr;
    MatrixPtr merged(shard_mode == SHARD_MERGE
                         ? merge_shards(shardlist, ListFilename, pyddepth, &merged_counts)
                         : nullptr);
    std::unique_ptr<int, FreeDeleter> merged_imgnum(merged_counts);

    const std::string out = savepath;
    ResultWriter writer(out);
    // Moments read back from a directory holding a mix of two models would be wrong.
    if (isfast && result_dir_interrupted(out)) die(result_dir_interrupted_message(out));
    if (!isfast && isbkpath && result_dir_abandoned(bkhistpath))
        die(result_dir_interrupted_message(bkhistpath));
    const double start = now_seconds();

    MatrixPtr dctarr(initdct(8));

    const FileList lists(ListFilename);
    const int classnum = lists.size();
    if (classnum < 1)
        lib_fatalf(1, "The training list %s holds no class list name\n", ListFilename);
    // The weight list is read and held, but no weights are applied.
    std::unique_ptr<FileList> weights(isweight ? new FileList(wtfilelist) : nullptr);
    lib_printf(1, "classnum = %d\n", classnum);
    const std::vector<std::string> class_lists(lists.names(), lists.names() + classnum);
    // The boxes are checked before any image is analysed; the fit needs
    // every class's images whatever the moments come from.
    std::unique_ptr<TrainingSet> boxed_set;
    TrainingBoxes training_boxes;
    if (!boxes.empty()) {
        boxed_set.reset(new TrainingSet(read_training_set(ListFilename, class_lists, 0)));
        training_boxes = read_training_boxes(boxes, *boxed_set);
    }

    const std::string mntname = "/" + result_name(ResultFile::allmnt, pyddepth);
    MatrixPtr Allmnt;
    std::vector<int> listed(classnum, -1), used(classnum, -1);
    if (merged) {  // as -fast, from the merged shards instead of the moment file
        Allmnt = std::move(merged);
    } else if (isfast) {
        lib_printf(1, "Loading pre-computed the stats for DCT featurs...");
        fflush(stdout);
        Allmnt.reset(dat2mtx((out + mntname).c_str()));
        check_moment_shape(Allmnt.get(), (out + mntname).c_str(), pyddepth, classnum);
    } else if (isbkpath) {
        const TrainingSet set = read_training_set(ListFilename, class_lists, 1);
        lib_printf(1, "Loading pre-computed the stats for DCT featurs in the background path...");
        fflush(stdout);
        const std::string bk = std::string(bkhistpath) + mntname;
        // Another training may be committing there.
        read_whole_model(bkhistpath, [&] { Allmnt.reset(dat2mtx(bk.c_str())); });
        check_moment_shape(Allmnt.get(), bk.c_str(), pyddepth, classnum);
        class_moments(set, 1, Allmnt.get(), pyddepth, dctarr.get(), threads, nullptr, &used);
        for (int j = 1; j < classnum; j++) listed[j] = (int)set[j].images.size();
    } else {
        const TrainingSet set = read_training_set(ListFilename, class_lists, 0);
        lib_printf(1, "Computing the stats for DCT featurs...\n");
        Allmnt.reset(calloc_mtx(64 * pyddepth, 4 * classnum));
        class_moments(set, 0, Allmnt.get(), pyddepth, dctarr.get(), threads, nullptr, &used);
        for (int j = 0; j < classnum; j++) listed[j] = (int)set[j].images.size();
    }
    if (merged_imgnum)
        for (int j = 0; j < classnum; j++) used[j] = merged_imgnum.get()[j];

    GgdFits fits = fit_classes(Allmnt.get(), classnum);
    writer.write_fits(Allmnt.get(), pyddepth, fits, merged_imgnum.get(), classnum);
    const FeatureRanking ranking =
        select_features(Allmnt.get(), fits, classnum, exBfea, ishue, isdenoise);
    writer.write_ranking(ranking, pyddepth, classnum);
    if (boxed_set)
        learn_from_boxes(*boxed_set, training_boxes, pyddepth, threads, fits, writer,
                         &record.root());

    const std::string usage = time_usage(now_seconds() - start);
    writer.commit(usage);
    warn_featureless_classes(ranking, class_lists);
    lib_notice(1, "%s", usage.c_str());
    Json &classes = record.root()["classes"] = Json::array();
    for (int j = 0; j < classnum; j++) {
        Json &c = classes.push(Json::object());
        c["class"] = j;
        c["list"] = class_lists[j];
        c["images"] = listed[j] >= 0 ? Json(listed[j]) : Json();
        c["used"] = used[j] >= 0 ? Json(used[j]) : Json();
        c["skipped"] = listed[j] >= 0 && used[j] >= 0 ? Json(listed[j] - used[j]) : Json();
        c["salient_features"] = ranking.counts[j];
    }
    record.write(0);
    return 0;
}
