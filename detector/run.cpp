// Lumivar's run: start-up (settings, trained model of the query class,
// filter bank, query list) and the loop over the query images.
//
// Every input of the start-up is checked before the first image is
// processed, so that a broken result directory ends the run with a message
// naming the file instead of a crash or a run over garbage. A query image
// that cannot be read or whose outputs cannot be written is reported and
// skipped; the run then ends with status 1 after the time report.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "dat.h"
#include "files.h"
#include "imgconv.h"
#include "lumivar.h"
#include "mres.h"
#include "resultdir.h"

namespace {

// The deepest pyramid whose crop step 2^(depth-1) still fits an int.
constexpr int kMaxDepth = 30;

[[noreturn]] void fail(const std::string &msg) {
    fflush(stdout);
    fprintf(stderr, "%s\n", msg.c_str());
    exit(1);
}

// Every integer of the file, in order, up to the first thing that is not one.
std::vector<int> read_ints(const std::string &path) {
    FILE *fp = fopen(path.c_str(), "r");
    if (!fp) fail("Cannot open " + path);
    std::vector<int> v;
    int x;
    while (fscanf(fp, "%d", &x) == 1) v.push_back(x);
    fclose(fp);
    return v;
}

// Readable feature lines of a class file, counting at most n; -1 when the
// file cannot be opened.
int class_file_lines(const std::string &path, int n) {
    FILE *fp = fopen(path.c_str(), "r");
    if (!fp) return -1;
    double cost, md;
    int level, index, lines = 0;
    while (lines < n && fscanf(fp, "%lf %lf %d %d", &cost, &md, &level, &index) == 4) lines++;
    fclose(fp);
    return lines;
}

matrix *load_model_matrix(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) fail("Cannot open " + path);
    return dat2mtx(path.c_str());
}

void make_output_dir(const std::string &dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) fail("Cannot create output directory " + dir);
}

}  // namespace

void make_dct_filters(matrix **dctmtx) {
    matrix *basis = mkDCTBasis(8);
    matrix *bt = mtx_fun(basis, 'T');
    for (int k = 0; k < 64; k++) dctmtx[k] = array2mtx(bt->pix[k], 8, 8);
    free_mtx(bt);
    free_mtx(basis);
}

void free_model(LumivarModel *model) {
    for (matrix *&m : model->dctmtx) {
        if (m) free_mtx(m);
        m = nullptr;
    }
    if (model->allalpha) free_mtx(model->allalpha);
    if (model->allbeta) free_mtx(model->allbeta);
    if (model->gaufilt) free_mtx(model->gaufilt);
    model->allalpha = model->allbeta = model->gaufilt = nullptr;
}

std::string image_basename(const std::string &filename) {
    size_t slash = filename.rfind('/');
    std::string base = slash == std::string::npos ? filename : filename.substr(slash + 1);
    size_t dot = base.rfind('.');
    if (dot != std::string::npos) base.erase(dot);
    return base;
}

int process_image(const char *filename, const LumivarSettings &set, const LumivarModel &model) {
    printf("%s\n", filename);
    const std::string out = set.savepath + "/" + image_basename(filename);

    matrix *img = im2mtx(filename, "I");
    if (!img) {
        fflush(stdout);
        fprintf(stderr, "Cannot read image %s; skipped\n", filename);
        return 0;
    }
    const int mod = 1 << (model.pyddepth - 1);
    const int H = img->nrows - img->nrows % mod, W = img->ncols - img->ncols % mod;
    if (H == 0 || W == 0) {
        fflush(stdout);
        fprintf(stderr, "Image %s is %d x %d, smaller than %d pixels in a direction; skipped\n",
                filename, img->ncols, img->nrows, mod);
        free_mtx(img);
        return 1;
    }
    matrix *crop = alloc_mtx(H, W);
    for (int r = 0; r < H; r++) memcpy(crop->pix[r], img->pix[r], (size_t)W * sizeof(double));
    free_mtx(img);

    pyramid *G = calloc_pyr(model.pyddepth, H, W);
    gpyr(crop, G, model.gaufilt, model.gaufilt, model.pyddepth, 'w');

    fprintf(stderr, "\tComputing saliency map...");
    const int nft = model.ftnum4smap;
    matrix *SM = calloc_mtx(H, W);
    std::vector<matrix *> channels(nft, nullptr);
    int ok = 1;
    for (int i = 0; i < nft; i++) {
        matrix *ch = sglsaliencymap(G, model.ftpydlevel[i], model.ftsubidx[i],
                                    (matrix **)model.dctmtx, set.mapnum, model.allalpha,
                                    model.allbeta, set.qclassidx);
        if (!ch || ch->nrows != H || ch->ncols != W) {
            fprintf(stderr, "Cannot compute channel %d of %s\n", i, filename);
            if (ch) free_mtx(ch);
            ok = 0;
            break;
        }
        double weight = 1.0;
        if (set.isenforce)
            weight = model.ftmd[i];
        else if (set.mapnum == 0 || set.mapnum == 2)
            weight = model.ftcost[i];
        double *c = ch->pix[0], *s = SM->pix[0];
        const long n = (long)H * W;
        if (weight != 1.0)
            for (long j = 0; j < n; j++) c[j] *= weight;
        for (long j = 0; j < n; j++) s[j] += c[j];
        channels[i] = ch;
    }

    if (ok) {
        if (!set.nosm) {
            printf("saving...");
            // A map without a positive value is written black, not divided by 0.
            const double mx = mtx_max(SM);
            matrix *norm = calloc_mtx(H, W);
            if (mx > 0.0 && std::isfinite(mx)) inp_mtxsc_bmathd(SM, mx, norm, '/');
            if (!mtx2im(norm, (out + "_sm.jpg").c_str())) ok = 0;
            free_mtx(norm);
        }
        printf("done.\n");

        printf("\tSearching for salient locations...");
        matrix *SPs = SearchSalPts(SM, channels.data(), (int *)model.ftpydlevel.data(), nft,
                                   set.nowta);
        printf("saving...");
        if (!savesallocations(SPs, (out + "_salloc").c_str())) ok = 0;
        printf("done.\n");

        if (set.scalemap) {
            fprintf(stderr, "\tGenerating Scale map...");
            matrix *scales = calloc_mtx(H, W);
            GetScaleMap(scales, channels.data(), (int *)model.ftpydlevel.data(), nft);
            printf("saving...");
            mtx2dat(scales, (out + "_scalemap.dat").c_str());
            printf("done.\n");
            free_mtx(scales);
        }

        if (set.drawnum > 0) {
            fprintf(stderr, "\tDrawing...");
            Image *image = LoadImage(filename);
            if (!image) {
                fprintf(stderr, "Cannot read image %s again for drawing\n", filename);
                ok = 0;
            } else {
                DrawSPs_img(image, SPs, set.drawnum, "white");
                if (!SaveImage(image, (out + "_salloc.jpg").c_str())) {
                    fprintf(stderr, "Cannot write %s_salloc.jpg\n", out.c_str());
                    ok = 0;
                }
                printf("done.\n");
                DestroyImage(image);
            }
        }
        free_mtx(SPs);
    }

    for (matrix *ch : channels)
        if (ch) free_mtx(ch);
    free_mtx(SM);
    free_pyr(G);
    free_mtx(crop);
    return ok;
}

int lumivar_main(int argc, char **argv) {
    LumivarSettings set;
    parse_command_line(argc, argv, &set.SFPath, &set.qclassidx, &set.QueryFileList, &set.savepath,
                       &set.ftnum4smap, &set.drawnum, &set.mapnum, &set.nosm, &set.nowta,
                       &set.scalemap, &set.isenforce);
    if (result_dir_interrupted(set.SFPath)) fail(result_dir_interrupted_message(set.SFPath));

    // The query class's trained feature count.
    const std::string numfile = set.SFPath + "/salientfeaturenum";
    if (set.qclassidx < 0) fail("Query class index " + std::to_string(set.qclassidx) + " is negative");
    std::vector<int> counts = read_ints(numfile);
    if (set.qclassidx >= (int)counts.size())
        fail("Query class index " + std::to_string(set.qclassidx) + " is not below the " +
             std::to_string(counts.size()) + " classes of " + numfile);
    const int trained = counts[set.qclassidx];
    if (trained < 0) fail("Negative feature count for the query class in " + numfile);

    if (trained < set.ftnum4smap && !set.isenforce) {
        printf("The maximum number of salient features is %d!\nfeaturenum is set to %d!\n", trained,
               trained);
        set.ftnum4smap = trained;
    }
    if (set.ftnum4smap == 0) {
        printf("No salient feature for the query class!!!\n\n");
        fflush(stdout);
        exit(1);
    }

    // The feature arrays are sized before the class file is read: a count
    // beyond what the file holds (a huge -f with -enforce) is refused here
    // instead of being allocated.
    const std::string classfile = set.SFPath + "/Qor_class_" + std::to_string(set.qclassidx);
    const int lines = class_file_lines(classfile, set.ftnum4smap);
    if (lines < 0) fail("Cannot open class file " + classfile);
    if (lines < set.ftnum4smap)
        fail("Class file " + classfile + " holds " + std::to_string(lines) + " readable lines; " +
             std::to_string(set.ftnum4smap) + " are needed");

    LumivarModel model;
    model.ftnum4smap = set.ftnum4smap;
    const std::string depthfile = set.SFPath + "/pyddepth";
    std::vector<int> depth = read_ints(depthfile);
    if (depth.empty() || depth[0] < 1 || depth[0] > kMaxDepth)
        fail("No pyramid depth between 1 and " + std::to_string(kMaxDepth) + " in " + depthfile);
    model.pyddepth = depth[0];

    printf("SFPath = %s\npyrdepth = %d\nqueryclassidx = %d\nQueryFileList = %s\n"
           "salientfeaturenum = %d\nsavepath = %s\ndrawcirclenum = %d\n",
           set.SFPath.c_str(), model.pyddepth, set.qclassidx, set.QueryFileList.c_str(),
           set.ftnum4smap, set.savepath.c_str(), set.drawnum);
    printf("isenforce = %d\n", set.isenforce);
    if (set.nosm) printf("No saliency map will be generated!\n");
    if (set.nowta) printf("Non-maximum-suppression stage has been inhibited!\n");
    if (set.scalemap) printf("Generate a scale map for each image!\n");
    printf("starting...\n");
    const time_t start = time(nullptr);

    model.gaufilt = mk_gaufilter();
    make_dct_filters(model.dctmtx);

    const int n = set.ftnum4smap;
    model.ftcost.resize(n);
    model.ftmd.resize(n);
    model.ftpydlevel.resize(n);
    model.ftsubidx.resize(n);
    ReadSalientFeatures(classfile.c_str(), n, model.ftcost.data(), model.ftmd.data(),
                        model.ftpydlevel.data(), model.ftsubidx.data());
    int maxrow = 0;
    for (int i = 0; i < n; i++) {
        const int l = model.ftpydlevel[i], k = model.ftsubidx[i];
        if (k < 0 || k >= 64)
            fail("Line " + std::to_string(i + 1) + " of " + classfile + " names zig-zag index " +
                 std::to_string(k) + ", which has no DCT filter");
        if (l < 0 || l >= model.pyddepth)
            fail("Line " + std::to_string(i + 1) + " of " + classfile + " names pyramid level " +
                 std::to_string(l) + ", outside the depth " + std::to_string(model.pyddepth));
        maxrow = std::max(maxrow, 64 * l + k);
    }

    const std::string alphafile = set.SFPath + "/Allalpha.dat";
    const std::string betafile = set.SFPath + "/Allbeta.dat";
    model.allalpha = load_model_matrix(alphafile);
    model.allbeta = load_model_matrix(betafile);
    for (const auto &[m, name] : {std::pair{model.allalpha, alphafile}, {model.allbeta, betafile}})
        if (m->nrows <= maxrow || m->ncols <= set.qclassidx)
            fail(name + " holds " + std::to_string(m->nrows) + " x " + std::to_string(m->ncols) +
                 " values; the features and class used need " + std::to_string(maxrow + 1) +
                 " x " + std::to_string(set.qclassidx + 1));

    if (set.isenforce) {
        // A last MD that is not a positive number cannot scale the others;
        // the raw MDs then weight the channels (same map up to a factor).
        const double last = model.ftmd[n - 1];
        if (std::isfinite(last) && last > 0.0)
            for (double &md : model.ftmd) md /= last;
    }
    const bool weighted = set.isenforce || set.mapnum != 1;
    for (int i = 0; weighted && i < n; i++)
        if (!std::isfinite(set.isenforce ? model.ftmd[i] : model.ftcost[i]))
            fail("Line " + std::to_string(i + 1) + " of " + classfile +
                 " holds a weight that is not a finite number");

    int nfiles = 0;
    char **files = getFilename(set.QueryFileList.c_str(), &nfiles);
    make_output_dir(set.savepath);

    int status = 0;
    for (int i = 0; i < nfiles; i++)
        if (!process_image(files[i], set, model)) status = 1;

    for (int i = 0; i < nfiles; i++) free(files[i]);
    free(files);
    free_model(&model);
    printf("Time usage: %f Sec\n", difftime(time(nullptr), start));
    fflush(stdout);
    return status;
}
