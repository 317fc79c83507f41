// Sendral in process: the program's own steps (sendral.h, classes.h) over
// images given as files or as samples in memory.
#include <sendral/sendral.hpp>

#include <string>
#include <vector>

#include "boxes.h"
#include "classes.h"
#include "learn.h"
#include "classstat.h"
#include "dat.h"
#include "resultdir.h"
#include "resultschema.h"
#include "cli.h"
#include "fail.h"
#include "mres.h"
#include "owners.h"
#include "sendral.h"

namespace sendral {

void train(const std::vector<std::vector<TrainImage>> &classes, int depth,
           const std::string &result_dir, const TrainOptions &options) {
    train(classes, depth, result_dir, options, "");
}

void train(const std::vector<std::vector<TrainImage>> &classes, int depth,
           const std::string &result_dir, const TrainOptions &options, const std::string &boxes) {
    if (depth < 1 || depth > SENDRAL_MAXDEPTH)
        throw Error("depth must be a whole number from 1 to " + std::to_string(SENDRAL_MAXDEPTH) +
                        ", not " + std::to_string(depth),
                    1);
    if (classes.empty()) throw Error("The training set holds no class", 1);
    TrainingSet set(classes.size());
    for (size_t j = 0; j < classes.size(); j++) {
        set[j].list = "(in memory)";
        set[j].from_file = false;
        for (const TrainImage &t : classes[j]) {
            ImageSource s{t.path};
            if (t.samples.samples) {
                if (t.samples.rows <= 0 || t.samples.cols <= 0)
                    throw Error(
                        "Image " + t.path + " of class " + std::to_string(j) + " holds no samples",
                        1);
                s.samples = t.samples.samples;
                s.rows = t.samples.rows;
                s.cols = t.samples.cols;
                s.stride = t.samples.row_stride;
            }
            set[j].images.push_back(s);
        }
    }
    const int classnum = (int)set.size();
    ResultWriter writer(result_dir);
    const double start = now_seconds();
    check_training_set(set, 0);
    TrainingBoxes training_boxes;
    if (!boxes.empty()) training_boxes = read_training_boxes(boxes, set);
    MatrixPtr dctarr(initdct(8));
    MatrixPtr Allmnt(calloc_mtx(64 * depth, 4 * classnum));
    class_moments(set, 0, Allmnt.get(), depth, dctarr.get(), std::max(options.threads, 1),
                  options.progress);
    GgdFits fits = fit_classes(Allmnt.get(), classnum);
    writer.write_fits(Allmnt.get(), depth, fits, nullptr, classnum);
    const FeatureRanking ranking =
        select_features(Allmnt.get(), fits, classnum, options.exbfea, 0, options.nodenoise ? 0 : 1);
    writer.write_ranking(ranking, depth, classnum);
    if (!boxes.empty())
        learn_from_boxes(set, training_boxes, depth, std::max(options.threads, 1), fits, writer,
                         nullptr);
    writer.commit(time_usage(now_seconds() - start));
    warn_featureless_classes(ranking, {});
}

void refit(const std::string &result_dir, int depth, const TrainOptions &options) {
    if (depth < 1 || depth > SENDRAL_MAXDEPTH)
        throw Error("depth must be a whole number from 1 to " + std::to_string(SENDRAL_MAXDEPTH) +
                        ", not " + std::to_string(depth),
                    1);
    ResultWriter writer(result_dir);
    const std::string mnt = result_path(result_dir, ResultFile::allmnt, depth);
    if (result_dir_interrupted(result_dir)) die(result_dir_interrupted_message(result_dir));
    const double start = now_seconds();
    MatrixPtr Allmnt(dat2mtx(mnt.c_str()));
    const int classnum = Allmnt->ncols / 4;
    check_moment_shape(Allmnt.get(), mnt.c_str(), depth, classnum < 1 ? 1 : classnum);
    GgdFits fits = fit_classes(Allmnt.get(), classnum);
    writer.write_fits(Allmnt.get(), depth, fits, nullptr, classnum);
    const FeatureRanking ranking =
        select_features(Allmnt.get(), fits, classnum, options.exbfea, 0, options.nodenoise ? 0 : 1);
    writer.write_ranking(ranking, depth, classnum);
    writer.commit(time_usage(now_seconds() - start));
}

}  // namespace sendral
