// Opening, closing and flushing datfile handles, the process-wide handle
// table, name resolution through PICPATH and the fatal-error handler.
//
// The handle table holds 256 handles, so an open that would need a 257th is
// refused; transfer states are kept by descriptor number, whatever it is.
// Replacing an old datfile removes its whole tree in-process (never
// following symbolic links). An existing data file is opened only when it is
// a regular file: a FIFO would block the reader and a device never end.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dat.h"
#include "fail.h"
#include "mtxown.h"

DATFILE *d_iob[D_MAXFILES];
DATFILE **d_lastbuf = d_iob;
int added_atexit = 0;
const char *defaultpath = ".:";

namespace {

bool exists(const std::string &p) { return access(p.c_str(), F_OK) == 0; }

bool data_file_exists(const std::string &dir) {
    struct stat st;
    return stat((dir + "/data").c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void free_tokens(d_token *t) {
    if (t == D_NOHEADER) return;
    while (t) {
        d_token *next = t->d_next;
        free(t->d_key);
        free(t->d_value);
        free(t);
        t = next;
    }
}

bool table_full() { return d_lastbuf >= d_iob + D_MAXFILES; }

// fopen(path, mode) of a file that must be a regular file. Opened without
// blocking (a FIFO would wait for a writer), then looked at: anything else
// is closed again, *not_regular set.
FILE *fopen_regular(const std::string &path, const char *mode, bool *not_regular) {
    *not_regular = false;
    const bool update = strchr(mode, '+') != nullptr;
    int flags = update ? O_RDWR : mode[0] == 'r' ? O_RDONLY : O_WRONLY;
    if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
    if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *not_regular = true;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    FILE *fp = fdopen(fd, mode);
    if (!fp) close(fd);
    return fp;
}

void table_append(DATFILE *h) { *d_lastbuf++ = h; }

}  // namespace

void add_atexit(void) {
    if (added_atexit) return;
    if (atexit(d_cleanup) != 0) {
        lib_puts(2, "libdat: unable to register d_cleanup() with atexit()\n");
        lib_puts(2, "libdat: datfiles will not be closed automatically on program exit.\n");
        return;
    }
    added_atexit = 1;
}

int d_ispath(const char *name) { return strchr(name, '/') != nullptr; }

int d_path(const char *name, std::string &out) {
    if (d_ispath(name)) {
        out = name;
        return data_file_exists(out) ? 1 : 0;
    }
    const char *env = getenv("PICPATH");
    const char *path = env ? env : defaultpath;
    std::string first;
    bool have_first = false;
    for (const char *p = path; *p;) {
        const char *colon = strchr(p, ':');
        size_t len = colon ? (size_t)(colon - p) : strlen(p);
        if (len == 0) break;
        std::string cand = std::string(p, len) + "/" + name;
        if (data_file_exists(cand)) {
            out = cand;
            return 1;
        }
        if (!have_first) {
            first = cand;
            have_first = true;
        }
        if (!colon) break;
        p = colon + 1;
    }
    if (!have_first) return -1;
    out = first;
    return 0;
}

int d_path(const char *name, char *out) {
    std::string p;
    int r = d_path(name, p);
    if (r != -1) memcpy(out, p.c_str(), p.size() + 1);
    return r;
}

DATFILE *d_open(const char *name, const char *mode) {
    add_atexit();
    if (table_full()) {
        lib_printf(2, "d_open: too many open datfiles, cannot open %s\n", name);
        return nullptr;
    }
    std::string P;
    if (d_path(name, P) < 0) {
        lib_printf(2, "d_open: search path has no first entry for %s\n", name);
        return nullptr;
    }
    struct stat st;
    bool found = stat(P.c_str(), &st) == 0;
    bool noheader = false;

    if (mode[0] == 'r' || (mode[0] == 'a' && found)) {
        if (!found) {
            lib_printf(2, "d_open: File %s does not exist\n", P.c_str());
            return nullptr;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!exists(P + "/descriptor")) {
                lib_printf(2, "d_open: Directory %s not datfile\n", P.c_str());
                return nullptr;
            }
        } else {
            noheader = true;
        }
    } else {
        if (mode[0] != 'w' && mode[0] != 'a') {
            lib_printf(2, "d_open: unknown mode %s for file %s\n", mode, P.c_str());
            return nullptr;
        }
        if (found && S_ISDIR(st.st_mode)) {
            if (!exists(P + "/descriptor")) {
                lib_printf(2, "d_open: non datfile directory %s\n", P.c_str());
                return nullptr;
            }
            std::error_code ec;
            std::filesystem::remove_all(P, ec);
            if (ec) {
                lib_printf(2, "d_open: cannot delete datfile %s\n", P.c_str());
                return nullptr;
            }
        } else if (found && S_ISREG(st.st_mode)) {
            if (unlink(P.c_str()) != 0) {
                lib_printf(2, "d_open: cannot delete file %s\n", P.c_str());
                return nullptr;
            }
        } else if (found) {
            noheader = true;  // device, pipe ...: written in place
        }
        if (!noheader) {
            if (mkdir(P.c_str(), 0777) != 0) {
                lib_printf(2, "d_open: Cannot create directory %s.\n", P.c_str());
                return nullptr;
            }
            int fd = creat((P + "/descriptor").c_str(), 0666);
            if (fd < 0) {
                lib_perror("d_open");
                return nullptr;
            }
            close(fd);
        }
    }

    std::string datapath = noheader ? P : P + "/data";
    // Only a headerless write goes to whatever the name is (a device, a
    // pipe: written in place, as asked).
    bool not_regular = false;
    FILE *fp = noheader && mode[0] == 'w' ? fopen(datapath.c_str(), mode)
                                          : fopen_regular(datapath, mode, &not_regular);
    if (not_regular) {
        lib_printf(2, "d_open: %s is not a regular file\n", datapath.c_str());
        return nullptr;
    }
    if (!fp) {
        lib_printf(2, "d_open: failed to fopen %s, mode %s\n", datapath.c_str(), mode);
        return nullptr;
    }
    if (strcmp(mode, "a+") == 0) {
        // Append mode would force every write to the end; positioned writes
        // need "r+" at the end instead.
        fclose(fp);
        fp = fopen(datapath.c_str(), "r+");
        if (!fp) {
            lib_printf(2, "d_open: failed to fopen %s, mode %s\n", datapath.c_str(), "r+");
            return nullptr;
        }
        fseek(fp, 0, SEEK_END);
    }
    _dclrinfo(fileno(fp));

    std::unique_ptr<DATFILE, FreeDeleter> owner((DATFILE *)calloc(1, sizeof(DATFILE)));
    std::unique_ptr<char, FreeDeleter> dup(strdup(P.c_str()));
    if (!owner || !dup) {
        lib_perror("d_open");
        fclose(fp);
        return nullptr;
    }
    DATFILE *h = owner.get();
    h->db_fp = fp;
    h->db_name = dup.get();
    if (noheader) {
        h->db_h = D_NOHEADER;
    } else {
        h->db_h = loadhdr(P.c_str(), mode);
        if (h->db_h == D_NOHEADER) {
            fclose(fp);
            return nullptr;
        }
    }
    dup.release();
    table_append(owner.release());
    d_flush(h);

    int size = 1;
    d_gettype(h, &size);
    if (size > 1) {
        int bo = d_get_byte_order(h);
        if (bo == -1) {
            if (mode[0] == 'r')
                lib_puts(2, "d_open: Warning--no byte order flag.\n");
            else if (mode[0] == 'a')
                lib_puts(2, "d_open: Warning--no byte order flag for append.\n");
        } else if (bo != mach_get_byte_order()) {
            lib_puts(2, "ATTN: byte order conversion will occur.\n");
        }
    }
    d_flush(h);
    return h;
}

DATFILE *d_descr(const char *name) {
    add_atexit();
    if (table_full()) {
        lib_printf(2, "d_descr: too many open datfiles, cannot open %s\n", name);
        return nullptr;
    }
    std::unique_ptr<DATFILE, FreeDeleter> owner((DATFILE *)calloc(1, sizeof(DATFILE)));
    if (!owner) {
        lib_perror("d_descr");
        return nullptr;
    }
    DATFILE *h = owner.get();
    h->db_h = loadhdr(name, "r");
    if (h->db_h == D_NOHEADER) {
        lib_printf(2, "d_descr: header of %s not found\n", name);
        return nullptr;
    }
    h->db_name = strdup(name);
    if (!h->db_name) {
        lib_perror("d_descr");
        free_tokens(h->db_h);
        return nullptr;
    }
    table_append(owner.release());
    return h;
}

int d_flush(DATFILE *h) {
    int r = 0;
    if (h->db_flag & 1) {
        r = dumphdr(h);
        // A header that could not be written stays marked, so that the
        // next flush (at the latest the one at exit) tries again.
        if (r == 0) h->db_flag &= ~1;
    }
    if (h->db_fp && fflush(h->db_fp) != 0) {
        lib_perror(h->db_name);
        r += -1;
    }
    return r;
}

int d_close(DATFILE *h) {
    DATFILE **slot = d_iob;
    while (slot < d_lastbuf && *slot != h) slot++;
    if (slot == d_lastbuf) {
        lib_puts(2, "d_close: File not open!?\n");
        return -1;
    }
    *slot = *--d_lastbuf;
    *d_lastbuf = nullptr;

    int r = 0;
    if (h->db_flag & 1) r = dumphdr(h);
    if (h->db_fp) {
        _dclrinfo(fileno(h->db_fp));
        if (fclose(h->db_fp) != 0) {
            lib_perror(h->db_name);
            r += -1;
        }
    }
    free_tokens(h->db_h);
    free(h->db_name);
    free(h);
    return r;
}

void d_cleanup(void) {
    for (DATFILE **p = d_iob; p < d_lastbuf; p++) d_flush(*p);
}

DATFILE *d_open_subfile(DATFILE *parent, const char *name, const char *mode) {
    std::string path = std::string(parent->db_name) + "/" + name;
    return d_open(path.c_str(), mode);
}

int d_close_subfile(DATFILE *h) { return d_close(h); }

thread_local int d_recoverable = 0;

int _daterrh(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string msg(n > 0 ? (size_t)n : 0, '\0');
    va_start(ap, format);
    if (n > 0) vsnprintf(msg.data(), msg.size() + 1, format, ap);
    va_end(ap);
    if (d_recoverable) {
        lib_puts(2, msg.c_str());
        throw d_error{};
    }
    d_cleanup();
    lib_fatal(1, msg);
}
