// Sendral --boxes: feature weights learned from boxed objects, for Lumivar
// --learned. After the usual training, for every object class: the
// channels of every non-DC feature (63 per level, as Lumivar's map kind 0
// makes them) sampled on a grid of the training images, an L2-penalised
// logistic regression of "inside an object box" against "outside every
// box", and its transform, penalty and map smoothing chosen by
// cross-validation over the class's boxed images.
#ifndef SENDRAL_LEARN_H
#define SENDRAL_LEARN_H

#include <string>
#include <vector>

#include "boxes.h"
#include "classes.h"
#include "sendral.h"

class Json;

// Fits the weights of every object class with boxes and writes
// learned_class_<j> through `writer` (before its commit); prints the
// choice and the cross-validated scores, and records them under
// record["learned"] when record is not null. Images are read and analysed
// on `threads` threads; the files do not depend on it.
void learn_from_boxes(const TrainingSet &set, const TrainingBoxes &boxes, int pyddepth, int threads,
                      const GgdFits &fits, ResultWriter &writer, Json *record);

// ---- the regression, for the tests ----

// Minimises  sum_i c_i (log(1 + e^(z_i.theta)) - y_i z_i.theta)
//          + lambda/2 * |theta without its last element|^2
// over theta (P values; z_i is row i of the n x P row-major matrix Z, its
// last column the intercept's, unpenalised) by Newton's method with a
// backtracking line search, starting from *theta. Deterministic: the same
// bits for the same input. Returns the Newton steps taken.
int fit_logistic(const std::vector<double> &Z, int n, int P, const std::vector<double> &y,
                 const std::vector<double> &c, double lambda, std::vector<double> *theta);

// Area under the ROC curve of the values at `inside` against the others
// (ties count half); -1 when either side is empty.
double area_under_roc(const std::vector<double> &values, const std::vector<char> &inside);

#endif
