// The class moments of a training set: every image of a class read (from
// its file or from samples in memory) and analysed, the per-image moments
// added in list order, the class averages placed into Allmnt.
//
// Images are read and analysed on several threads, but everything a class
// prints and every decision to stop happen on the calling thread in list
// order, so logs and results are the same for any thread count. At most
// 2 * threads images are in flight, so memory stays bounded however long
// the list. A training's classes are one list for the threads, which so
// never wait at the end of a class for its last image.
#include "classes.h"

#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "classstat.h"
#include "cli.h"
#include "fail.h"
#include "files.h"
#include "imgconv.h"
#include "mres.h"
#include "ordered.h"
#include "owners.h"

namespace {

constexpr int NC = 64;

int g_threads = 1;  // for the classic entry points

// What reading and analysing one image gave; the messages are printed by
// the thread that adds the images up, in list order.
struct ImageMoments {
    bool read = false;  // the image could be read
    bool used = false;  // large enough for the pyramid
    VolumePtr mnts;
    std::exception_ptr failure;  // raised in list order, by the calling thread
    std::string nomem;           // the failure was an allocation: what it needed
};

// The grey matrix of one image source, or null when its file cannot be read.
matrix *load_source(const ImageSource &src) {
    if (!src.samples) {
        // Exported straight into the matrix (im2mtx's samples, without its
        // second copy): an image too big for memory fails in the matrix
        // library, which tells the size, not as an unreadable file.
        ImagePtr image(LoadImage(src.name.c_str()));
        return image ? Image2matrix(image.get(), "I") : nullptr;
    }
    MatrixPtr m(alloc_mtx(src.rows, src.cols));
    const long stride = src.stride > 0 ? src.stride : src.cols;
    for (int r = 0; r < src.rows; r++)
        std::copy(src.samples + r * stride, src.samples + r * stride + src.cols, m->pix[r]);
    return m.release();
}

// Reads one image and takes its per-level moments into a new volume; its
// messages go to `captured` when given. A failure (an image too big for memory, above all) is kept
// for the calling thread, which reports it in list order naming the image.
void analyse_image(const ImageSource &src, int pyddepth, matrix *gaufilt, matrix *dctarr,
                   ImageMoments *r, CapturedOutput *captured) {
    recoverable_failures scope;
    // Whatever the image prints (ImageMagick's reports included) waits for
    // its turn in list order.
    struct Capture {
        CapturedOutput *c;
        explicit Capture(CapturedOutput *c_) : c(c_) {
            if (c) c->begin();
        }
        ~Capture() {
            if (c) c->end();
        }
    } capture(captured);
    try {
        MatrixPtr img(load_source(src));
        r->read = img != nullptr;
        if (!img) return;
        r->mnts.reset(calloc_vol(pyddepth, NC, 4));
        r->used = image_mnts_DCT(img.get(), r->mnts.get(), pyddepth, gaufilt, dctarr, 0);
    } catch (...) {
        r->failure = std::current_exception();
        try {
            throw;
        } catch (const std::bad_alloc &) {
            scope.note_out_of_memory();
        } catch (...) {
        }
        if (scope.out_of_memory()) r->nomem = out_of_memory_text(scope);
    }
}

// The failure met with image `src` of class j, reported as the programs end
// a run: through the fatal hook (in process: sendral::Error).
[[noreturn]] void image_failed(const ImageMoments &r, const ImageSource &src, int j) {
    if (!r.nomem.empty())
        lib_fatalf(1, "Error: image %s (class %d) does not fit in memory: %s; the run stops\n",
                   src.name.c_str(), j, r.nomem.c_str());
    try {
        std::rethrow_exception(r.failure);
    } catch (const sendral::Error &e) {
        lib_fatal(e.status(), e.what());
    }
}

// A worker's heap asked for 2 MB pages where the system offers them, as
// the program asks for its main heap at start-up: every worker thread has
// a heap of its own, and on a virtual machine the first touch of each of
// the ~4000 pages of 4 kB an image needs there costs about 10 us, a large
// part of the worker's first images. A block of the size one image needs
// is taken and given back, so that its pages are the ones the images get;
// only a hint: without large pages nothing changes.
void ask_large_pages_for_this_thread() {
#ifdef MADV_HUGEPAGE
    const size_t size = 30 << 20;  // below the size the program maps separately
    const uintptr_t huge = (uintptr_t)2 << 20;
    void *volatile block = malloc(size);  // volatile: the pair must not be elided
    if (!block) return;
    const uintptr_t from = ((uintptr_t)block + huge - 1) & ~(huge - 1);
    const uintptr_t to = ((uintptr_t)block + size) & ~(huge - 1);
    if (to > from) madvise((void *)from, to - from, MADV_HUGEPAGE);
    free(block);
#endif
}

// The images (of class classes[n] each) on `threads` threads, handed to
// `take` in list order. Each worker only reads and computes: all output
// and every decision to stop happen on the calling thread, after the
// workers have been joined when the run stops. False, with nothing done,
// when no thread could be started.
// `announce`(n) comes before anything image n prints, `take`(n, ...) after;
// neither may end the run (take returns false to stop it, and the caller
// says why once the threads are gone).
template <class Announce, class Take>
bool on_threads(const std::vector<const ImageSource *> &images, const std::vector<int> &classes,
                int threads, int pyddepth, matrix *gaufilt, matrix *dctarr, Announce announce,
                Take take) {
    const int imgnum = (int)images.size();
    // ImageMagick is set up once, here, before any worker can race to do it.
    img_init();
    capture_magick_reports();
    std::vector<ImageMoments> results(imgnum);
    std::vector<CapturedOutput> captured(imgnum);
    int failed = -1;
    const bool ran = run_in_order(
        imgnum, std::min(threads, imgnum), 2 * threads,
        [&](int n) {
            analyse_image(*images[n], pyddepth, gaufilt, dctarr, &results[n], &captured[n]);
        },
        [&](int n) {
            announce(n);
            if (results[n].failure) {
                captured[n].replay();  // what it printed before it failed, as -j 1 shows it
                failed = n;
                return false;
            }
            const bool go_on = take(n, results[n], captured[n]);
            results[n].mnts.reset();
            return go_on;
        },
        ask_large_pages_for_this_thread);
    if (!ran) return false;
    // A program's failure ends the process: never while a worker still runs.
    if (failed >= 0) image_failed(results[failed], *images[failed], classes[failed]);
    return true;
}

// The same on the calling thread alone when `threads` is 1 or no thread
// can be started.
template <class Announce, class Take>
void for_each_image(const std::vector<const ImageSource *> &images, const std::vector<int> &classes,
                    int threads, int pyddepth, matrix *gaufilt, matrix *dctarr, Announce announce,
                    Take take) {
    const int imgnum = (int)images.size();
    if (threads > 1 &&
        on_threads(images, classes, threads, pyddepth, gaufilt, dctarr, announce, take))
        return;
    for (int n = 0; n < imgnum; n++) {
        CapturedOutput none;
        ImageMoments r;
        announce(n);
        analyse_image(*images[n], pyddepth, gaufilt, dctarr, &r, nullptr);
        if (r.failure) image_failed(r, *images[n], classes[n]);
        if (!take(n, r, none)) return;
    }
}

// What the images of class j add up to, taken in list order: their
// moments (added into acc) and count, the progress line and the messages
// of each.
class ClassSums {
public:
    ClassSums(const std::vector<const ImageSource *> &images, int j, volume *acc,
              const std::function<void()> &step)
        : images_(images), j_(j), step_(step), progress_((int)images.size()), acc_(acc) {}

    void announce(int n) {
        progress_.clear();
        lib_printf(1, "%s\n", images_[n]->name.c_str());
        progress_.show(n + 1, images_[n]->name.c_str());
    }
    // False when the training must stop (finish() says why).
    bool take(int n, const ImageMoments &r, CapturedOutput &cap) {
        progress_.clear();
        cap.replay();
        if (step_) step_();
        if (!r.read) {
            unreadable_ = n;
            return false;
        }
        if (!r.used) {
            lib_notice(1, "Image too small, Skip!\n");
            return true;
        }
        used_++;
        add_mnts_volume(acc_, r.mnts.get());
        return true;
    }
    int usable() const { return used_; }
    bool stopped() const { return unreadable_ >= 0; }
    // How many images were large enough for the pyramid; an unreadable
    // image stops the training.
    int finish() {
        progress_.clear();
        if (unreadable_ >= 0)  // a class's statistics must never silently lose an image
            lib_fatalf(1, "Error: can't read image %s (class %d); the run stops\n",
                       images_[unreadable_]->name.c_str(), j_);
        return used_;
    }

private:
    const std::vector<const ImageSource *> &images_;
    const int j_;
    const std::function<void()> &step_;
    Progress progress_;
    volume *const acc_;
    int used_ = 0, unreadable_ = -1;
};

// Adds the moments of `images` of class j into acc in list order, printing
// each name as it comes; returns how many were large enough for the
// pyramid. An unreadable image stops the training.
int sum_images(const std::vector<const ImageSource *> &images, int j, volume *acc, int pyddepth,
               matrix *gaufilt, matrix *dctarr, int threads, const std::function<void()> &step) {
    ClassSums sums(images, j, acc, step);
    for_each_image(
        images, std::vector<int>(images.size(), j), threads, pyddepth, gaufilt, dctarr,
        [&](int n) { sums.announce(n); },
        [&](int n, const ImageMoments &r, CapturedOutput &cap) { return sums.take(n, r, cap); });
    return sums.finish();
}

void refuse_empty(const ClassImages &c, int j) {
    if (c.images.empty())
        lib_fatalf(1, "Error: the image list %s of class %d holds no image name\n", c.list.c_str(),
                   j);
}

// The class averages of `used` images summed in acc into Allmnt; no image
// large enough for the pyramid stops the training.
void place_class(const ClassImages &c, int j, volume *acc, int used, int pyddepth, matrix *Allmnt) {
    if (used == 0)
        lib_fatalf(1,
                   "Error: no image of class %d (list %s) is large enough for pyramid depth %d; "
                   "the run stops\n",
                   j, c.list.c_str(), pyddepth);
    set_class_mnts(acc, used, j, Allmnt);
}

// Moments of class j into columns 4j..4j+3 of Allmnt: the mean over the
// images large enough for the pyramid.
int one_class(const ClassImages &c, int j, matrix *Allmnt, int pyddepth, matrix *gaufilt,
              matrix *dctarr, int threads, const std::function<void()> &step) {
    refuse_empty(c, j);
    std::vector<const ImageSource *> images;
    for (const ImageSource &s : c.images) images.push_back(&s);
    VolumePtr acc(calloc_vol(pyddepth, NC, 4));
    const int used = sum_images(images, j, acc.get(), pyddepth, gaufilt, dctarr, threads, step);
    place_class(c, j, acc.get(), used, pyddepth, Allmnt);
    return used;
}

// one_class for classes first..N-1 in turn, with the images of all of them
// handed to the threads as one list: the threads go on into the next class
// instead of waiting at the end of each for its last image. Everything a
// class prints or decides still comes in list order, between its
// neighbours' as one_class has it.
void all_classes(const TrainingSet &set, int first, matrix *Allmnt, int pyddepth, matrix *gaufilt,
                 matrix *dctarr, int threads, const std::function<void()> &step,
                 std::vector<int> *used) {
    const int N = (int)set.size();
    std::vector<std::vector<const ImageSource *>> lists(set.size());
    std::vector<const ImageSource *> images;
    std::vector<int> classes, index;  // per entry of `images`: its class, its place there
    for (int j = first; j < N; j++)
        for (const ImageSource &s : set[j].images) {
            index.push_back((int)lists[j].size());
            lists[j].push_back(&s);
            images.push_back(&s);
            classes.push_back(j);
        }
    int current = first - 1;  // the class being taken
    VolumePtr acc;
    std::unique_ptr<ClassSums> sums;
    auto close = [&] {
        const int n = sums->finish();
        sums.reset();
        place_class(set[current], current, acc.get(), n, pyddepth, Allmnt);
        if (used) (*used)[current] = n;
    };
    // Closes the class being taken and opens those up to j.
    auto advance = [&](int j) {
        while (current < j) {
            if (sums) close();
            current++;
            // As the lists were always announced (they are read once, before).
            if (set[current].from_file)
                lib_printf(1, "%s\nRead filenames from %s...Done\n", set[current].list.c_str(),
                           set[current].list.c_str());
            refuse_empty(set[current], current);
            acc.reset(calloc_vol(pyddepth, NC, 4));
            sums.reset(new ClassSums(lists[current], current, acc.get(), step));
        }
    };
    // While the threads run, a class is closed and the next opened only when
    // that cannot stop the run; otherwise the loop stops at the class's last
    // image, and the same steps, failure included, follow it.
    auto closes_cleanly = [&](int j) {
        return sums->usable() > 0 && (j + 1 >= N || !set[j + 1].images.empty());
    };
    for_each_image(
        images, classes, threads, pyddepth, gaufilt, dctarr,
        [&](int n) {
            advance(classes[n]);
            sums->announce(index[n]);
        },
        [&](int n, const ImageMoments &r, CapturedOutput &cap) {
            if (!sums->take(index[n], r, cap)) return false;
            const bool last = index[n] + 1 == (int)lists[classes[n]].size();
            return !last || closes_cleanly(classes[n]);
        });
    if (sums && sums->stopped()) close();  // an unreadable image
    advance(N - 1);
    if (sums) close();
}

// Counts the images handed over, for the progress callback.
std::function<void()> progress_step(const TrainingSet &set, int first,
                                    const TrainProgress &progress, int *done) {
    if (!progress) return nullptr;
    int total = 0;
    for (size_t j = first; j < set.size(); j++) total += (int)set[j].images.size();
    return [=, &progress]() { progress(++*done, total); };
}

ClassImages class_from_names(const std::string &list, const std::vector<std::string> &names) {
    ClassImages c;
    c.list = list;
    for (const std::string &n : names) c.images.push_back(ImageSource{n});
    return c;
}

// The list of class j read as the classic entry points always did: its
// path, then getFilename's own messages.
ClassImages read_class_list(const char *listpath) {
    lib_printf(1, "%s\n", listpath);
    FileList names(listpath);
    return class_from_names(listpath,
                            std::vector<std::string>(names.names(), names.names() + names.size()));
}

// The moments of part `part` of `nparts` of every class; class j comes from
// class_of(j), asked for in class order.
template <class ClassOf>
matrix *part_moments_of(int classnum, ClassOf class_of, int pyddepth, matrix *dctarr, int part,
                        int nparts, int *usable, int *listed) {
    check_mnts_depth(pyddepth);
    if (nparts < 1 || part < 0 || part >= nparts) lib_fatal(1, "getPartmnts_DCT: no such part\n");
    MatrixPtr gaufilt(mk_gaufilter());
    MatrixPtr Allmnt(calloc_mtx(NC * pyddepth, 4 * classnum));
    for (int j = 0; j < classnum; j++) {
        const ClassImages &c = class_of(j);
        listed[j] = (int)c.images.size();
        std::vector<const ImageSource *> mine;  // the entries this part owns
        for (size_t i = part; i < c.images.size(); i += nparts) mine.push_back(&c.images[i]);
        VolumePtr acc(calloc_vol(pyddepth, NC, 4));
        usable[j] = sum_images(mine, j, acc.get(), pyddepth, gaufilt.get(), dctarr, 1, nullptr);
        // A class without usable images here keeps its zeros; its count says so.
        if (usable[j] > 0) set_class_mnts(acc.get(), usable[j], j, Allmnt.get());
    }
    return Allmnt.release();
}

// The offset of the first byte that no text file holds (a control
// character other than white space), or -1; only the first 64 kB are
// looked at, which any binary file shows itself in.
long first_non_text_byte(const char *path) {
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    unsigned char buf[65536];
    const size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    for (size_t i = 0; i < n; i++) {
        const unsigned char c = buf[i];
        if ((c < 0x20 && !isspace(c)) || c == 0x7f) return (long)i;
    }
    return -1;
}

}  // namespace

TrainingSet read_training_set(const std::string &listfile,
                              const std::vector<std::string> &class_lists, int first) {
    // The usual mistake: a list of the images themselves (or "path label"
    // lines), where a list of one image list per class is wanted.
    for (int j = first; j < (int)class_lists.size(); j++)
        if (const char *format = img_file_format(class_lists[j].c_str()))
            lib_fatalf(1,
                       "The training list %s names image files, not image lists (%s is a %s "
                       "image): it names one image list per class, class 0 (the background) "
                       "first, and each image list names the images of its class "
                       "(sendral-lists makes them from one folder per class)\n",
                       listfile.c_str(), class_lists[j].c_str(), format);
    TrainingSet set(class_lists.size());
    for (int j = 0; j < (int)class_lists.size(); j++) {
        set[j].list = class_lists[j];
        if (j < first) continue;
        const long bad = first_non_text_byte(class_lists[j].c_str());
        if (bad >= 0)
            lib_fatalf(1,
                       "The image list %s of class %d is not a text file (byte %ld is not text): "
                       "an image list names image files, separated by white space\n",
                       class_lists[j].c_str(), j, bad);
        std::vector<std::string> names;
        if (!read_list_names(class_lists[j].c_str(), &names))
            lib_fatalf(1, "Cannot read the image list %s of class %d\n", class_lists[j].c_str(), j);
        set[j] = class_from_names(class_lists[j], names);
        // Checked class by class as it is read: the first fault in list order is reported.
        check_training_set(set, j, j + 1);
    }
    return set;
}

void check_training_set(const TrainingSet &set, int first, int last) {
    if (last < 0) last = (int)set.size();
    for (int j = first; j < last; j++) {
        const ClassImages &c = set[j];
        if (c.images.empty())
            lib_fatalf(1, "The image list %s of class %d holds no image name\n", c.list.c_str(), j);
        for (const ImageSource &img : c.images)
            if (!img.samples && !img_check_file(img.name.c_str()))
                lib_fatalf(1, "Cannot read image %s (class %d, list %s)\n", img.name.c_str(), j,
                           c.list.c_str());
    }
}

void class_moments(const TrainingSet &set, int first, matrix *Allmnt, int pyddepth, matrix *dctarr,
                   int threads, const TrainProgress &progress, std::vector<int> *used) {
    if (used) used->assign(set.size(), -1);
    check_mnts_depth(pyddepth);
    check_moment_shape(Allmnt, nullptr, pyddepth, (int)set.size());
    MatrixPtr gaufilt(mk_gaufilter());
    int done = 0;
    const std::function<void()> step = progress_step(set, first, progress, &done);
    all_classes(set, first, Allmnt, pyddepth, gaufilt.get(), dctarr, threads, step, used);
}

matrix *part_moments(const TrainingSet &set, int pyddepth, matrix *dctarr, int part, int nparts,
                     int *usable, int *listed) {
    return part_moments_of((int)set.size(), [&](int j) -> const ClassImages & { return set[j]; },
                           pyddepth, dctarr, part, nparts, usable, listed);
}

// ---- the classic entry points ----

matrix *getAllmnts_DCT(const char *const *Queryfilenames, int classnum, int pyddepth,
                       matrix *dctarr) {
    check_mnts_depth(pyddepth);
    MatrixPtr Allmnt(calloc_mtx(NC * pyddepth, 4 * classnum));
    MatrixPtr gaufilt(mk_gaufilter());
    for (int j = 0; j < classnum; j++)
        one_class(read_class_list(Queryfilenames[j]), j, Allmnt.get(), pyddepth, gaufilt.get(),
                  dctarr, g_threads, nullptr);
    return Allmnt.release();
}

void getTheRestmnts_DCT(const char *const *Queryfilenames, matrix *Allmnt, int classnum,
                        int pyddepth, matrix *dctarr) {
    check_mnts_depth(pyddepth);
    check_moment_shape(Allmnt, nullptr, pyddepth, classnum);
    MatrixPtr gaufilt(mk_gaufilter());
    for (int j = 1; j < classnum; j++)
        one_class(read_class_list(Queryfilenames[j]), j, Allmnt, pyddepth, gaufilt.get(), dctarr,
                  g_threads, nullptr);
}

matrix *getPartmnts_DCT(const char *const *Queryfilenames, int classnum, int pyddepth,
                        matrix *dctarr, int part, int nparts, int *usable, int *listed) {
    ClassImages current;
    return part_moments_of(
        classnum,
        [&](int j) -> const ClassImages & { return current = read_class_list(Queryfilenames[j]); },
        pyddepth, dctarr, part, nparts, usable, listed);
}

void set_moments_threads(int nthreads) { g_threads = std::max(nthreads, 1); }
