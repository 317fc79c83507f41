// Learned feature weights (Sendral --boxes, Lumivar --learned) and Gaussian
// smoothing of a saliency map (Lumivar --smooth). Sendral writes the weights
// with format_learned and fits them on the channels the detector makes, so
// that the detector's learned map is exactly
//     p = 1 / (1 + exp(-(sum_f w_f t(channel_f) + intercept)))
// summed in the file's feature order, then smoothed.
#ifndef LUMIVAR_LEARNED_H
#define LUMIVAR_LEARNED_H

#include <string>
#include <utility>
#include <vector>

#include "lumivar.h"

// What learned_class_<j> holds.
struct LearnedWeights {
    std::string path;  // where it was read from (messages)
    int klass = 0;
    int depth = 0;
    bool log = false;      // t(x) = log(x + epsilon); else t(x) = x
    double epsilon = 0.0;  // only for log
    double smooth = 0.0;   // Gaussian sigma in pixels, 0: none
    double intercept = 0.0;
    std::vector<double> weight;
    std::vector<int> level, index;  // per feature: pyramid level, zig-zag index 1..63
};

// The epsilon of the log transform: below the typical |response|^1.5 of a
// textured region (1e-3..1), above the 16-bit step of a channel (1.5e-5),
// so that flat regions do not dominate the fit through log(0).
constexpr double kLearnedEpsilon = 1.0 / 1024.0;

std::string learned_file_name(const std::string &dir, int klass);

// The file's text; `info` lines (key, value) go between the header and the
// weights, for people (the detector ignores them).
std::string format_learned(const LearnedWeights &w,
                           const std::vector<std::pair<std::string, std::string>> &info);

// Parses the text of a learned file; false with *error ("line N: ...").
bool parse_learned(const std::string &text, LearnedWeights *w, std::string *error);

// Reads learned_class_<qclassidx> of set.SFPath into model->learned and
// makes the enlargement ready for all its levels. A missing or malformed
// file, or one fitted for another depth, stops with a message naming it.
void load_learned_weights(const LumivarSettings &set, LumivarModel *model);

// t(x) for n samples in place (plain: nothing to do). Exactly log(x + eps)
// for every x; the 16-bit values the enlargement gives come from a table.
void learned_transform(bool log, double *x, long n);
// t of the channel value of 16-bit sample q, as learned_transform gives for it.
double learned_transform_q(bool log, int q);
// The same for every q: 65536 values.
const double *learned_transform_table(bool log);
// The channel value that the enlargement gives for 16-bit sample q.
double channel_value_q(int q);
// The 16-bit sample of a channel value (rounded; values off the 16-bit
// steps are rounded to the nearest).
int channel_q(double v);

// The learned saliency map of one pyramid, with the dominant levels (of the
// largest weighted term at every pixel), smoothed by the settings' sigma
// (--smooth) or else the file's. Null after a message when a channel cannot
// be made.
matrix *learned_saliency_map(pyramid *G, const LumivarSettings &set, const LumivarModel &model,
                             std::vector<unsigned char> *levels);

// The map smoothed in place when --smooth asks for it (SM may be null); SM.
matrix *smoothed_map(matrix *SM, const LumivarSettings &set);

// In place: separable Gaussian smoothing of an H x W row-major map with
// standard deviation sigma (in samples), taps out to ceil(3 sigma), rows
// then columns, each sum over the taps inside the map divided by their
// weight (a constant map stays constant). sigma <= 0: unchanged.
void gaussian_smooth(double *p, int H, int W, double sigma);

#endif
