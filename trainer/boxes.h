// Sendral --boxes FILE: where the objects lie in the training images, for
// fitting the learned weights (learn.h). Read and checked whole before any
// training starts, so that a typo in line 900 does not cost a training.
#ifndef SENDRAL_BOXES_H
#define SENDRAL_BOXES_H

#include <string>
#include <vector>

#include "classes.h"

// Inclusive pixel rows and columns of one object.
struct ObjectBox {
    int top = 0, bottom = 0, left = 0, right = 0;
    bool holds(int row, int col) const {
        return row >= top && row <= bottom && col >= left && col <= right;
    }
};

struct TrainingBoxes {
    std::string path;
    // boxes[j][i]: the objects of image i of class j (empty: no line, the
    // image is left out of the fit; class 0 is never boxed).
    std::vector<std::vector<std::vector<ObjectBox>>> boxes;
    // The size of every boxed image (from its header; 0 for the others).
    std::vector<std::vector<int>> width, height;
    int lines = 0;  // box lines read
};

// Reads the box file for this training set: lines
// "entry,top,bottom,left,right" (an optional header line "entry,..." or
// "name,..."), entry being an image's name as its list writes it, or its
// file name where no other image has it. Refuses, naming the file and the
// line: a malformed line, numbers that are not whole numbers, an empty box,
// an entry that names no image, several images or a background image, a box
// reaching outside its image (sizes from the image headers); and an object
// class without any box. Stops through the fatal hook.
TrainingBoxes read_training_boxes(const std::string &path, const TrainingSet &set);

#endif
