// Lumivar in process: load the trained model of one class, detect its
// salient locations in images given as files or as grey samples in memory.
// The numbers are those of the Lumivar program for the same model, image
// and options, to the last bit: `map` is what -v writes as NAME_sm.dat,
// `locations` what it writes as NAME_salloc.
//
// Failures throw sendral::Error (lumivar::Error) with the program's
// message; nothing ends the process. A Model may be used from several
// threads at once.
#ifndef SENDRAL_LUMIVAR_HPP
#define SENDRAL_LUMIVAR_HPP

#include <memory>
#include <string>
#include <vector>

#include "error.hpp"

namespace lumivar {

using sendral::Error;
using sendral::GreyImage;
using sendral::GreyView;
using sendral::MessageCapture;

// How the model of the class is used (the program's -f, -m, -enforce).
struct ModelOptions {
    int features = 5;
    int map_kind = 0;  // 0, 1 or 2
    bool enforce = false;
};

// How the map is made beyond that (the program's --learned, --smooth).
struct MapOptions {
    bool learned = false;  // the weights, transform and smoothing Sendral --boxes fitted
    double smooth = -1.0;  // Gaussian sigma in pixels; below 0: the learned one, or none
};

// What one detection computes besides the map (the program's -nowta, -s).
struct DetectOptions {
    bool nowta = false;
    bool scale_map = false;
};

// One salient location, as a line of NAME_salloc.
struct Location {
    int row = 0;
    int col = 0;
    int radius = 0;
    double saliency = 0.0;
};

struct Result {
    int rows = 0, cols = 0;        // the cropped image's size
    std::vector<double> map;       // rows x cols, row-major
    std::vector<Location> locations;
    std::vector<double> scale_map;  // rows x cols when asked, else empty
};

// The grey samples of an image file exactly as the programs read them,
// cropped to multiples of 2^(depth-1) (depth 1: not cropped).
GreyImage read_image(const std::string &path, int depth = 1);

class Model {
public:
    // Reads and checks the result directory for class `class_index`, as the
    // program does before its first image.
    Model(const std::string &result_dir, int class_index, const ModelOptions &options = {});
    Model(const std::string &result_dir, int class_index, const ModelOptions &options,
          const MapOptions &map);
    ~Model();
    Model(Model &&) noexcept;
    Model &operator=(Model &&) noexcept;

    int depth() const;
    // The features used (lowered to the trained count without enforce).
    int features() const;

    Result detect(const std::string &image_path, const DetectOptions &options = {}) const;
    Result detect(const GreyView &image, const DetectOptions &options = {}) const;

    // PNG bytes of the map scaled to its maximum with the first `circles`
    // locations circled, for notebooks and quick looks.
    std::vector<unsigned char> picture(const Result &result, int circles = 5) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumivar

#endif
