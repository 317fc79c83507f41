// Sendral in process: train a result directory from images given as files
// or as grey samples in memory. The directory holds the same bytes as the
// Sendral program writes from the same images and options (except
// `timeusage`), written through the same staging and swap.
//
// Failures throw sendral::Error with the program's message; nothing ends
// the process.
#ifndef SENDRAL_SENDRAL_HPP
#define SENDRAL_SENDRAL_HPP

#include <functional>
#include <string>
#include <vector>

#include "error.hpp"

namespace sendral {

// One training image: a file (path), or samples in memory (then `path` is
// only its name in messages).
struct TrainImage {
    std::string path;
    GreyView samples;  // samples.samples == nullptr: read `path`
};

struct TrainOptions {
    bool exbfea = false;     // -exBfea
    bool nodenoise = false;  // -nodenoise
    int threads = 1;         // -j
    // Called after every image (done, total) of the whole training.
    std::function<void(int done, int total)> progress;
};

// classes[0] is the background class; each class a list of images.
void train(const std::vector<std::vector<TrainImage>> &classes, int depth,
           const std::string &result_dir, const TrainOptions &options = {});
// The same, then learned weights as Sendral --boxes fits them, from the box
// file `boxes` (entries: the images' paths as given, or their file names).
void train(const std::vector<std::vector<TrainImage>> &classes, int depth,
           const std::string &result_dir, const TrainOptions &options, const std::string &boxes);

// Fits and ranks again from the class moments a training left in
// result_dir (Allmnt<depth>.dat), as `Sendral -fast` does: other options,
// no image read.
void refit(const std::string &result_dir, int depth, const TrainOptions &options = {});

}  // namespace sendral

#endif
