// The datfile: a directory holding a text header ("descriptor") and the raw
// elements ("data"), with typed, selectable element transfer and the bridge
// between datfiles and matrices.
//
// Header entries are "(key value)" lines. The reserved keys _data_type,
// _byte_order, _data_sets, _channels and _dimensions say how to read "data":
// a row-major array over data sets, channels and up to ten dimensions.
#ifndef DAT_H
#define DAT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "imgstructs.h"
#include "mtx.h"

// ---- header and handle ------------------------------------------------------

// One header entry; a handle owns its whole list.
typedef struct _d_token {
    struct _d_token *d_next;
    char *d_key;
    char *d_value;
} d_token;

// The open handle of a datfile.
typedef struct _db {
    d_token *db_h;          // first entry, null for an empty header, or D_NOHEADER
    FILE *db_fp;            // stream of the data file; null for d_descr handles
    char *db_name;          // resolved datfile path (the directory)
    unsigned char db_flag;  // bit 0: header changed and not yet written
    unsigned char db_nbs;   // set to 0, otherwise unused
} DATFILE;

// db_h of a handle on a plain file without header.
#define D_NOHEADER ((d_token *)(intptr_t)-1)

// Position and size record: read as a flat array of 12 values
// [data set, channel, dimension 0 ... dimension 9].
typedef struct {
    int32_t dset;
    int32_t chan;
    int32_t dim[10];
} d_addr;

// Element types: {name, one-character code, size in bytes}; the table ends
// with a null name.
typedef struct {
    const char *name;
    int code;
    int size;
} d_stype;
extern const d_stype stype[];

enum byte_order { MSB = 0, LSB = 1 };

typedef struct {
    const char *name;
    int value;
} d_bo;
extern const d_bo bo_list[];  // "msb" -> 0, "lsb" -> 1, {null, -1}

#define D_MAXFILES 256

// Process-wide tables of open handles and transfer states.
struct d_info;
extern DATFILE *d_iob[D_MAXFILES];
extern DATFILE **d_lastbuf;  // one past the last used slot of d_iob
// The transfer state of the data file open on descriptor fd (null: none
// yet). Kept by descriptor number in a table that grows with the numbers in
// use, so any descriptor works (a parent may have left hundreds open).
struct d_info *d_state(int fd);
// False when the table cannot grow to hold fd (out of memory).
bool d_set_state(int fd, struct d_info *s);
extern int added_atexit;
extern const char *defaultpath;  // search path when PICPATH is unset

DATFILE *d_open(const char *name, const char *mode);
DATFILE *d_descr(const char *name);
int d_close(DATFILE *h);
int d_flush(DATFILE *h);
void d_cleanup(void);

char *d_getkey(DATFILE *h, const char *key);
char *d_getkey_elem(DATFILE *h, const char *key, int n);
int d_setkey(DATFILE *h, const char *key, const char *value);
int d_appkey(DATFILE *h, const char *key, const char *text);
int d_appkey_strvec(DATFILE *h, const char *key, int n, const char *const *strings);

int d_getdim(DATFILE *h, int32_t *sets, int32_t *channels, int32_t *dims, int maxdims);
int d_setdim(DATFILE *h, int32_t sets, int32_t channels, const int32_t *dims, int ndims);
int d_gettype(DATFILE *h, int *size);
int d_settype(DATFILE *h, int code);
int d_get_byte_order(DATFILE *h);
int d_set_byte_order(DATFILE *h, int order);
int mach_get_byte_order(void);

int d_ispath(const char *name);
// Resolves a datfile name (PICPATH search for names without "/").
// Returns 1 when name/data exists, 0 when not (out is the path to create),
// -1 when the search path has no first entry (out untouched). The char*
// form writes at most strlen(name) + strlen(search path) + 2 bytes.
int d_path(const char *name, char *out);
int d_path(const char *name, std::string &out);

DATFILE *d_open_subfile(DATFILE *parent, const char *name, const char *mode);
int d_close_subfile(DATFILE *h);

// Fatal error: every open datfile flushed, then the message and status 1
// go to the fatal hook (fail.h: the programs print it and end) -- unless the
// calling thread is inside mtx2dat_try, which gets d_error thrown instead
// after the message is printed.
[[noreturn]] int _daterrh(const char *format, ...) __attribute__((format(printf, 1, 2)));
struct d_error {};
extern thread_local int d_recoverable;

// Internals, exposed for tests.
bool d_iswhite(int c);  // the header's separators
void add_atexit(void);
// A header is a few lines of text; a larger "descriptor" is refused unread.
constexpr long D_MAXHEADER = 1L << 20;
// D_NOHEADER on failure, also for a descriptor that is not a regular file
// (a FIFO would block the reader, a device never end) or is over D_MAXHEADER.
d_token *loadhdr(const char *path, const char *mode);
d_token *parsehdr(FILE *fp);
int dumphdr(DATFILE *h);
int chgkey(DATFILE *h, const char *key, const char *text, int append, const char *caller);

// ---- transfer -------------------------------------------------------------

// Transfer state of one open data file, kept by descriptor (d_state).
// Levels count from 0 = last dimension (fastest) up to nlev-1 = data sets.
struct d_info {
    unsigned char type;   // file's type code
    unsigned char shift;  // log2 of the file's element size
    unsigned char nlev;   // number of dimensions + 2
    unsigned char done;   // walk has passed the last selected element
    int32_t hstep;        // step of level 0, in elements
    int32_t pos[12];      // current index per level, in selected elements
    int32_t cnt[12];      // selected elements per level
    int32_t base;         // byte offset of the first selected element
    int32_t stride[12];   // bytes between successive selected elements
    int32_t skip[12];     // bytes to the next selected element of the level above
};
typedef struct d_info d_info;

int d_submatrix(DATFILE *h, const d_addr *start, const d_addr *end, const d_addr *step);
int d_seek(DATFILE *h, const d_addr *offset, int whence);
int _dread(DATFILE *h, void *buf, int n, int type);
int _dwrite(DATFILE *h, const void *buf, int n, int type);
int d_getsubdim(DATFILE *h, d_addr *size);

void convert_datatype(void *dst, int dsttype, const void *src, int srctype, int n);
void convert_endian(void *buf, int type, int n);
int _dsize(int type);
void subsample(void *dst, const void *src, int elsize, int step, int n);
void _dclrinfo(int fd);

// ---- matrices ---------------------------------------------------------------

void mtx2dat(matrix *mtx, const char *filename);
int write_mtx(matrix *mtx, int type, const char *filename);
// mtx2dat for a program that must go on after a failed write (a full disk):
// 1 when written, 0 when not (after the library's own message; the caller,
// who knows the name the file is meant for, says which); never ends the
// process. Safe to call from several threads (calls are serialised).
int mtx2dat_try(matrix *mtx, const char *filename);
matrix *dat2mtx(const char *filename);
matrix *load_mtx(const char *filename);
// dat2mtx of a matrix whose shape the reader knows: null, with the header's
// sizes in *found_rows and *found_cols, when they are not rows x cols. Found
// before anything is allocated, so a small header claiming a huge matrix
// over a sparse data file costs nothing. Other failures are dat2mtx's.
matrix *dat2mtx_shape(const char *filename, int rows, int cols, int *found_rows, int *found_cols);

// Images as byte datfiles: samples 0..1 stored as 0..255, a colour image
// as three channels.
void mtx2dat_img(matrix *mtx, const char *filename);
matrix *dat2mtx_img(const char *filename);
void clrmtx2dat(colormatrix *clrimgmtx, const char *filename);
colormatrix *dat2clrmtx(const char *filename);
void im2dat_gray(const char *imgname, const char *datname);
void im2dat_rgb(const char *imgname, const char *datname);
void dat2im_gray(const char *datname, const char *imgname);
void dat2im_rgb(const char *datname, const char *imgname);

#endif
