// The box file of Sendral --boxes: parsed line by line, every entry
// resolved against the training lists and every box checked against its
// image's size before the first image is analysed. The first fault in file
// order is the one reported.
#include "boxes.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "cli.h"
#include "imgconv.h"

namespace {

std::string trimmed(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && isspace((unsigned char)s[a])) a++;
    while (b > a && isspace((unsigned char)s[b - 1])) b--;
    return s.substr(a, b - a);
}

std::string lower(std::string s) {
    for (char &c : s) c = (char)tolower((unsigned char)c);
    return s;
}

std::vector<std::string> fields_of(const std::string &line) {
    std::vector<std::string> f;
    std::stringstream in(line);
    for (std::string part; std::getline(in, part, ',');) f.push_back(trimmed(part));
    if (!line.empty() && line.back() == ',') f.push_back("");
    return f;
}

std::string file_name(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_header(const std::vector<std::string> &f) {
    if (f.size() != 5) return false;
    const std::string first = lower(f[0]);
    return (first == "entry" || first == "name") && lower(f[1]) == "top" &&
           lower(f[2]) == "bottom" && lower(f[3]) == "left" && lower(f[4]) == "right";
}

using Place = std::pair<int, int>;  // class, image index

}  // namespace

TrainingBoxes read_training_boxes(const std::string &path, const TrainingSet &set) {
    std::ifstream in(path, std::ios::binary);
    if (!in) die_errno("Cannot read the box file", path);
    TrainingBoxes tb;
    tb.path = path;
    tb.boxes.resize(set.size());
    tb.width.resize(set.size());
    tb.height.resize(set.size());
    for (size_t j = 0; j < set.size(); j++) {
        tb.boxes[j].resize(set[j].images.size());
        tb.width[j].assign(set[j].images.size(), 0);
        tb.height[j].assign(set[j].images.size(), 0);
    }

    // Entries as listed, and file names (kept only where they name one image).
    std::map<std::string, std::vector<Place>> listed, named;
    for (size_t j = 0; j < set.size(); j++)
        for (size_t i = 0; i < set[j].images.size(); i++) {
            const std::string &name = set[j].images[i].name;
            listed[name].push_back({(int)j, (int)i});
            named[file_name(name)].push_back({(int)j, (int)i});
        }
    std::map<Place, std::pair<int, int>> sizes;  // width, height, probed once
    auto size_of = [&](const Place &p) {
        auto it = sizes.find(p);
        if (it != sizes.end()) return it->second;
        const ImageSource &src = set[p.first].images[p.second];
        int w = src.cols, h = src.rows;
        if (!src.samples && !img_file_size(src.name.c_str(), &w, &h))
            die("Cannot read image " + src.name + " (class " + std::to_string(p.first) + ")");
        return sizes[p] = {w, h};
    };

    std::string line;
    bool first = true;
    for (int no = 1; std::getline(in, line); no++) {
        const std::string at = path + ":" + std::to_string(no) + ": ";
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (trimmed(line).empty()) continue;
        const std::vector<std::string> f = fields_of(line);
        const bool header_allowed = first;
        first = false;
        if (header_allowed && is_header(f)) continue;
        if (f.size() != 5 || f[0].empty())
            die(at + "expected entry,top,bottom,left,right, got \"" + line + "\"");
        int v[4];
        static const char *const what[4] = {"top", "bottom", "left", "right"};
        for (int k = 0; k < 4; k++)
            if (!parse_whole_number(f[k + 1].c_str(), &v[k]))
                die(at + what[k] + " \"" + f[k + 1] + "\" of " + f[0] +
                    " is not a whole decimal number");
        ObjectBox box{v[0], v[1], v[2], v[3]};
        if (box.top > box.bottom || box.left > box.right)
            die(at + "the box of " + f[0] + " is empty (top " + f[1] + ", bottom " + f[2] +
                ", left " + f[3] + ", right " + f[4] + ")");

        std::vector<Place> places;
        auto exact = listed.find(f[0]);
        if (exact != listed.end()) {
            places = exact->second;
        } else {
            auto byname = named.find(f[0]);
            if (byname == named.end())
                die(at + "unknown entry " + f[0] +
                    ": no image of the training lists has this name, as listed or as its file "
                    "name");
            if (byname->second.size() > 1) {
                const Place a = byname->second[0], b = byname->second[1];
                die(at + "entry " + f[0] + " is the file name of several images (" +
                    set[a.first].images[a.second].name + ", " + set[b.first].images[b.second].name +
                    "): write it as its list does");
            }
            places = byname->second;
        }
        for (const Place &p : places) {
            if (p.first == 0)
                die(at + f[0] + " is a background image (class 0, list " + set[0].list +
                    "): background images hold no object; leave them out of the box file");
            const auto [w, h] = size_of(p);
            if (box.top < 0 || box.left < 0 || box.bottom >= h || box.right >= w)
                die(at + "the box of " + f[0] + " (rows " + f[1] + " to " + f[2] + ", columns " +
                    f[3] + " to " + f[4] + ") reaches outside the image, " + std::to_string(w) +
                    " x " + std::to_string(h) + " pixels (rows 0 to " + std::to_string(h - 1) +
                    ", columns 0 to " + std::to_string(w - 1) + ")");
            tb.boxes[p.first][p.second].push_back(box);
            tb.width[p.first][p.second] = w;
            tb.height[p.first][p.second] = h;
        }
        tb.lines++;
    }
    if (in.bad()) die_errno("Cannot read the box file", path);
    for (size_t j = 1; j < set.size(); j++) {
        const auto &b = tb.boxes[j];
        if (std::all_of(b.begin(), b.end(),
                        [](const std::vector<ObjectBox> &v) { return v.empty(); }))
            die(path + ": no box for class " + std::to_string(j) + " (list " + set[j].list +
                "): every object class needs boxed images to learn its weights from");
    }
    return tb;
}
