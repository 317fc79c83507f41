// The trainer's steps over the images of its classes: the training set read
// once from its lists (or given in memory), checked, and turned into the
// class moments. The per-image and per-class arithmetic (pyramid, block-DCT
// moments, class averages) is the numeric library's (classstat.h); the
// lists, the image loop, its threads and its messages are here.
#ifndef SENDRAL_CLASSES_H
#define SENDRAL_CLASSES_H

#include <functional>
#include <string>
#include <vector>

#include "mtx.h"

// One training image: a file, or grey samples already in memory (0..1,
// `rows` rows of `cols`, row i at samples + i * stride); `name` is the list
// entry or, for samples, how messages name it.
struct ImageSource {
    std::string name;
    const double *samples = nullptr;  // borrowed; null: read the file `name`
    int rows = 0, cols = 0;
    long stride = 0;
};

// One class: the path of its image list (or how messages name a class
// given in memory) and its images in list order.
struct ClassImages {
    std::string list;
    std::vector<ImageSource> images;
    bool from_file = true;  // the moments step announces the list as Sendral does
};

using TrainingSet = std::vector<ClassImages>;

// Called after every image (images done so far, images of the whole set).
using TrainProgress = std::function<void(int done, int total)>;

// Step 1. The class lists named by `listfile` (already read: one path per
// class), and the images of classes first..N-1 read from their lists and
// checked (check_training_set) class by class; the lists of earlier
// classes are not opened. A list that cannot be read is reported ("Cannot
// read the image list ...") through the fatal hook.
// The training list's own name (`listfile`) is for the messages: a
// training list that names image files instead of image lists, and an
// image list that is not text, are refused as such.
TrainingSet read_training_set(const std::string &listfile,
                              const std::vector<std::string> &class_lists, int first);

// Step 2. Refuses now, not hours later, a class first..last-1 (last -1:
// every class from first) without images and an image file that cannot be
// opened.
void check_training_set(const TrainingSet &set, int first, int last = -1);

// Step 3. The moments of classes first..N-1 into columns 4j..4j+3 of
// Allmnt (64*depth x 4*N), class by class, each image read and analysed on
// `threads` threads and added in list order; prints the list and image
// names as Sendral does. An unreadable image or a class without a usable
// image stops the training.
// used (may be null) receives, per class from first on, the number of
// images large enough for the pyramid.
void class_moments(const TrainingSet &set, int first, matrix *Allmnt, int pyddepth, matrix *dctarr,
                   int threads, const TrainProgress &progress = nullptr,
                   std::vector<int> *used = nullptr);

// Step 3 for one part of the lists (-shard): a new moment matrix from, of
// class j, only the entries i with i % nparts == part; usable[j] receives
// the number averaged (columns stay zero at 0) and listed[j] the class's
// length. No list or image name is printed but the images'.
matrix *part_moments(const TrainingSet &set, int pyddepth, matrix *dctarr, int part, int nparts,
                     int *usable, int *listed);

// ---- the classic entry points over list paths ----

// A new 64*pyddepth x 4*classnum moment matrix of the image lists
// Queryfilenames[0..classnum); images are read on set_moments_threads()
// threads.
matrix *getAllmnts_DCT(const char *const *Queryfilenames, int classnum, int pyddepth,
                       matrix *dctarr);
// Recomputes classes 1..classnum-1 into a loaded Allmnt; class 0 is kept.
// A shape other than 64*pyddepth x 4*classnum stops the training.
void getTheRestmnts_DCT(const char *const *Queryfilenames, matrix *Allmnt, int classnum,
                        int pyddepth, matrix *dctarr);
// Part `part` of `nparts` of the lists (see part_moments).
matrix *getPartmnts_DCT(const char *const *Queryfilenames, int classnum, int pyddepth,
                        matrix *dctarr, int part, int nparts, int *usable, int *listed);
// Images of a class are read and analysed on this many threads by the entry
// points above (1 by default; below 1 counts as 1). Results and messages do
// not depend on it.
void set_moments_threads(int nthreads);

#endif
