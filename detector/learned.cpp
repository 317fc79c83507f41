// Learned maps and map smoothing.
//
// A learned map is a logistic regression over the channels of every non-DC
// feature: p = sigmoid(sum_f w_f t(c_f) + b), the probability that a pixel
// lies in an object. The probability, not the logit, is the map: it is
// positive everywhere, so the search (which takes positive values only)
// still finds the object where the logit is negative, and smoothing it
// gives the expected share of object pixels around a point, which a few
// outlying pixels cannot dominate. Sendral fits w and b on channels made by
// this library and evaluates them with the same sums in the same order, so
// what it measured on its grid is what this map holds there.
//
// The channels are made and added a row at a time, all features side by
// side, as for the other maps; the log transform of a 16-bit channel value
// comes from a table checked against the value itself (exactly log(x + eps)).
//
// Smoothing is separable and sums its taps in a fixed order (left to right,
// top to bottom), dividing by the weight of the taps inside the map, so the
// result does not depend on threads or vector width.
#include "learned.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "cli.h"
#include "enlarge.h"
#include "fail.h"
#include "owners.h"
#include "resultschema.h"

namespace {

constexpr int kFormat = 1;  // learned_weights <version>
constexpr double kQuantum = 65535.0;

std::string number(double v) {
    char buf[40];
    snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

bool parse_double(const std::string &s, double *v) {
    if (s.empty()) return false;
    errno = 0;
    char *end = nullptr;
    *v = strtod(s.c_str(), &end);
    return end && *end == '\0' && errno == 0 && std::isfinite(*v);
}

bool parse_int(const std::string &s, int *v) { return parse_whole_number(s.c_str(), v); }

std::vector<std::string> split_tabs(const std::string &line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        out.push_back(
            line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

struct Tables {
    std::vector<double> value, log_value;
    Tables() : value(65536), log_value(65536) {
        for (int q = 0; q < 65536; q++) {
            const double d = (double)q;
            // The intensity of a grey 16-bit pixel, as the enlargement reads it back.
            value[q] = (1.0 / kQuantum) * (0.212656 * d + 0.715158 * d + 0.072186 * d);
            log_value[q] = log(value[q] + kLearnedEpsilon);
        }
    }
};

const Tables &tables() {
    static const Tables t;
    return t;
}

// The sigmoid of every sum plus the intercept.
void finish_rows(double *p, long n, double intercept) {
    for (long i = 0; i < n; i++) p[i] = 1.0 / (1.0 + exp(-(p[i] + intercept)));
}

}  // namespace

std::string learned_file_name(const std::string &dir, int klass) {
    return result_path(dir, ResultFile::learned_class, klass);
}

std::string format_learned(const LearnedWeights &w,
                           const std::vector<std::pair<std::string, std::string>> &info) {
    std::string s;
    auto line = [&](const std::string &k, const std::string &v) { s += k + "\t" + v + "\n"; };
    line("learned_weights", std::to_string(kFormat));
    line("class", std::to_string(w.klass));
    line("depth", std::to_string(w.depth));
    line("transform", w.log ? "log" : "plain");
    line("epsilon", number(w.log ? w.epsilon : 0.0));
    line("smooth_sigma", number(w.smooth));
    line("intercept", number(w.intercept));
    line("features", std::to_string(w.weight.size()));
    s += "# map = 1 / (1 + exp(-(sum of weight * t(channel) + intercept))), then smoothed;\n"
         "# t(x) = x (plain) or log(x + epsilon); channels as Lumivar's map kind 0 makes them\n";
    for (const auto &kv : info) line(kv.first, kv.second);
    line("weight", "level\tindex");
    for (size_t i = 0; i < w.weight.size(); i++)
        s += number(w.weight[i]) + "\t" + std::to_string(w.level[i]) + "\t" +
             std::to_string(w.index[i]) + "\n";
    return s;
}

bool parse_learned(const std::string &text, LearnedWeights *w, std::string *error) {
    std::istringstream in(text);
    std::string line;
    int no = 0, features = -1, version = -1;
    bool have[6] = {};  // class, depth, transform, epsilon, smooth_sigma, intercept
    auto fail = [&](const std::string &why) {
        *error = "line " + std::to_string(no) + ": " + why;
        return false;
    };
    bool in_weights = false;
    while (std::getline(in, line)) {
        no++;
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = split_tabs(line);
        if (in_weights) {
            double v;
            int l, k;
            if (f.size() != 3 || !parse_double(f[0], &v) || !parse_int(f[1], &l) ||
                !parse_int(f[2], &k))
                return fail("expected weight<TAB>level<TAB>index, got \"" + line + "\"");
            if (l < 0 || l >= w->depth || k < 1 || k > 63)
                return fail("feature (level " + f[1] + ", index " + f[2] +
                            ") is not a non-DC feature of depth " + std::to_string(w->depth));
            w->weight.push_back(v);
            w->level.push_back(l);
            w->index.push_back(k);
            continue;
        }
        if (f.size() < 2) return fail("expected key<TAB>value, got \"" + line + "\"");
        const std::string &key = f[0], &val = f[1];
        if (no == 1 && key != "learned_weights") return fail("not a learned weights file");
        if (key == "learned_weights") {
            if (!parse_int(val, &version) || version != kFormat)
                return fail("format " + val + " is not " + std::to_string(kFormat));
        } else if (key == "class") {
            if (!parse_int(val, &w->klass)) return fail("class " + val + " is not a number");
            have[0] = true;
        } else if (key == "depth") {
            if (!parse_int(val, &w->depth) || w->depth < 1 || w->depth > 30)
                return fail("depth " + val + " is not a pyramid depth");
            have[1] = true;
        } else if (key == "transform") {
            if (val != "log" && val != "plain") return fail("transform " + val + " is unknown");
            w->log = val == "log";
            have[2] = true;
        } else if (key == "epsilon") {
            if (!parse_double(val, &w->epsilon)) return fail("epsilon " + val + " is not a number");
            have[3] = true;
        } else if (key == "smooth_sigma") {
            if (!parse_double(val, &w->smooth) || w->smooth < 0)
                return fail("smooth_sigma " + val + " is not a number of pixels");
            have[4] = true;
        } else if (key == "intercept") {
            if (!parse_double(val, &w->intercept))
                return fail("intercept " + val + " is not a finite number");
            have[5] = true;
        } else if (key == "features") {
            if (!parse_int(val, &features) || features < 1)
                return fail("features " + val + " is not a count");
        } else if (key == "weight") {
            if (version < 0 || features < 0 ||
                !(have[0] && have[1] && have[2] && have[3] && have[4] && have[5]))
                return fail("the weights come before the header is complete");
            in_weights = true;
        }
        // Other keys (the cross-validation's record) are for people.
    }
    if (!in_weights) return fail("the file ends before its weights");
    if ((int)w->weight.size() != features)
        return fail("the file holds " + std::to_string(w->weight.size()) + " weights, not " +
                    std::to_string(features));
    // Only the table's epsilon is computed fast; another would need its own.
    if (w->log && w->epsilon != kLearnedEpsilon)
        return fail("epsilon " + number(w->epsilon) + " is not " + number(kLearnedEpsilon));
    return true;
}

void load_learned_weights(const LumivarSettings &set, LumivarModel *model) {
    const std::string path = learned_file_name(set.SFPath, set.qclassidx);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        die("No learned weights for class " + std::to_string(set.qclassidx) + " in " + set.SFPath +
            " (no file " + path + "): train with Sendral --boxes");
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in.good() && !in.eof()) die("Cannot read " + path);
    auto w = std::make_shared<LearnedWeights>();
    std::string why;
    if (!parse_learned(text.str(), w.get(), &why)) die(path + ", " + why);
    if (w->klass != set.qclassidx)
        die(path + " holds the weights of class " + std::to_string(w->klass) + ", not " +
            std::to_string(set.qclassidx));
    if (w->depth != model->pyddepth)
        die(path + " was fitted at depth " + std::to_string(w->depth) + ", but " + set.SFPath +
            " holds a model of depth " + std::to_string(model->pyddepth) +
            ": train again with Sendral --boxes");
    w->path = path;
    const double sigma = set.smooth >= 0 ? set.smooth : w->smooth;
    lib_printf(1, "Learned weights: %s (%zu features, transform %s, smoothing sigma %g)\n",
               path.c_str(), w->weight.size(), w->log ? "log(x + 1/1024)" : "plain", sigma);
    model->learned = w;
    int deepest = 0;
    for (int l : w->level) deepest = std::max(deepest, l);
    enlarge_select(deepest);
}

double channel_value_q(int q) { return tables().value[q]; }

double learned_transform_q(bool log, int q) {
    return log ? tables().log_value[q] : tables().value[q];
}

const double *learned_transform_table(bool log) {
    return log ? tables().log_value.data() : tables().value.data();
}

int channel_q(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 1.0) return 65535;
    return (int)(v * kQuantum + 0.5);
}

void learned_transform(bool log_transform, double *x, long n) {
    if (!log_transform) return;
    const double *value = tables().value.data(), *logs = tables().log_value.data();
    for (long i = 0; i < n; i++) {
        const double v = x[i];
        const int q = v > 0.0 ? (v < 1.0 ? (int)(v * kQuantum + 0.5) : 65535) : 0;
        x[i] = value[q] == v ? logs[q] : log(v + kLearnedEpsilon);
    }
}

void gaussian_smooth(double *p, int H, int W, double sigma) {
    if (!(sigma > 0.0) || H <= 0 || W <= 0) return;
    const int r = (int)std::min<double>(ceil(3.0 * sigma), (double)std::max(H, W));
    std::vector<double> g(2 * r + 1);
    for (int d = -r; d <= r; d++) g[d + r] = exp(-0.5 * (d / sigma) * (d / sigma));
    // Weight of the taps inside a line of n samples, at position x.
    auto norms = [&](int n) {
        std::vector<double> w(n);
        for (int x = 0; x < n; x++) {
            double s = 0.0;
            for (int d = std::max(-r, -x); d <= std::min(r, n - 1 - x); d++) s += g[d + r];
            w[x] = s;
        }
        return w;
    };
    const std::vector<double> nx = norms(W), ny = norms(H);
    std::vector<double> tmp((size_t)H * W, 0.0);
    // Rows: out[x] = sum over d of g[d] * in[x + d], d ascending.
    for (int y = 0; y < H; y++) {
        const double *in = p + (size_t)y * W;
        double *out = &tmp[(size_t)y * W];
        for (int d = -r; d <= r; d++) {
            const double gd = g[d + r];
            const int x0 = std::max(0, -d), x1 = std::min(W, W - d);
            for (int x = x0; x < x1; x++) out[x] += gd * in[x + d];
        }
        for (int x = 0; x < W; x++) out[x] /= nx[x];
    }
    // Columns, a row at a time.
    std::vector<double> acc(W);
    for (int y = 0; y < H; y++) {
        std::fill(acc.begin(), acc.end(), 0.0);
        for (int d = std::max(-r, -y); d <= std::min(r, H - 1 - y); d++) {
            const double gd = g[d + r];
            const double *in = &tmp[(size_t)(y + d) * W];
            for (int x = 0; x < W; x++) acc[x] += gd * in[x];
        }
        double *out = p + (size_t)y * W;
        for (int x = 0; x < W; x++) out[x] = acc[x] / ny[y];
    }
}

matrix *smoothed_map(matrix *SM, const LumivarSettings &set) {
    if (SM && set.smooth > 0) gaussian_smooth(SM->pix[0], SM->nrows, SM->ncols, set.smooth);
    return SM;
}

matrix *learned_saliency_map(pyramid *G, const LumivarSettings &set, const LumivarModel &model,
                             std::vector<unsigned char> *levels) {
    const LearnedWeights &lw = *model.learned;
    const int H = G->level[0]->nrows, W = G->level[0]->ncols, n = (int)lw.weight.size();
    bool by_rows = true;
    for (int i = 0; i < n; i++) {
        const int l = lw.level[i];
        const matrix *lv = l < G->depth ? G->level[l] : nullptr;
        if (!lv || ((long)lv->nrows << l) != H || ((long)lv->ncols << l) != W) {
            lib_printf(2, "Cannot compute channel %d\n", i);
            return nullptr;
        }
        by_rows = by_rows && enlarge_own_route(lv->nrows, lv->ncols, l);
    }
    matrix **dct = (matrix **)model.dctmtx;
    std::vector<double> t(W);
    MatrixPtr SM;
    if (by_rows) {
        // Every feature's row, in file order, before the next row.
        std::vector<std::unique_ptr<LevelChannelRows>> channels;
        std::vector<std::unique_ptr<EnlargedRows>> enlarged;
        for (int i = 0; i < n; i++) {
            channels.emplace_back(new LevelChannelRows(G, lw.level[i], lw.index[i], dct,
                                                       kPowerMapKind, model.allalpha, model.allbeta,
                                                       set.qclassidx));
            LevelChannelRows *ch = channels.back().get();
            enlarged.emplace_back(new EnlargedRows(
                ch->rows(), ch->cols(), [ch](int r) { return ch->row(r); }, lw.level[i]));
        }
        SM.reset(alloc_mtx(H, W));
        levels->resize((size_t)H * W);
        DominantLevels dom(W, lw.level[0]);
        for (int y = 0; y < H; y++) {
            double *sum = SM->pix[y];
            std::fill(sum, sum + W, 0.0);
            dom.restart(lw.level[0]);
            for (int i = 0; i < n; i++) {
                const double *row = enlarged[i]->next();
                if (lw.log) {
                    std::copy(row, row + W, t.begin());
                    learned_transform(true, t.data(), W);
                    row = t.data();
                }
                dom.add_weighted(row, lw.weight[i], sum, lw.level[i], 0, W);
            }
            memcpy(levels->data() + (size_t)y * W, dom.levels(), W);
            finish_rows(sum, W, lw.intercept);
        }
    } else {
        // One channel after the other, through whichever enlargement serves it.
        SM.reset(calloc_mtx(H, W));
        DominantLevels dom((long)H * W, lw.level[0]);
        double *sum = SM->pix[0];
        for (int i = 0; i < n; i++) {
            const int l = lw.level[i];
            LevelChannelRows ch(G, l, lw.index[i], dct, kPowerMapKind, model.allalpha,
                                model.allbeta, set.qclassidx);
            if (!enlarge_rows(
                    ch.rows(), ch.cols(), [&](int r) { return ch.row(r); }, l,
                    [&](size_t y, const double *row) {
                        std::copy(row, row + W, t.begin());
                        learned_transform(lw.log, t.data(), W);
                        dom.add_weighted(t.data(), lw.weight[i], sum + (long)y * W, l, (long)y * W,
                                         W);
                    })) {
                lib_printf(2, "Cannot compute channel %d\n", i);
                return nullptr;
            }
        }
        dom.done_adding();
        *levels = dom.take_levels();
        finish_rows(sum, (long)H * W, lw.intercept);
    }
    const double sigma = set.smooth >= 0 ? set.smooth : lw.smooth;
    gaussian_smooth(SM->pix[0], H, W, sigma);
    return SM.release();
}
