// Header text: parsing "descriptor" into the entry list and writing it back.
//
// The parser is a character scanner. Outside an entry it skips white space
// and comments (";" to end of line); "(" always opens an entry, even inside
// a comment. Inside an entry the key runs to the first white space or ")",
// and the value runs until the bracket depth returns to zero, a backslash
// protecting the next character. A malformed text ends the scan with a
// message but keeps every entry read so far: a damaged header must never
// make a datfile unreadable.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dat.h"
#include "fail.h"

namespace {

const int LTOKEN = '(';
const int RTOKEN = ')';

// Growable text buffer: 256 bytes to start, 256 more whenever full.
struct TextBuf {
    char *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
    ~TextBuf() { free(data); }
};

// Appends one character; false when memory is exhausted.
bool addch(TextBuf &b, int c) {
    if (b.len + 1 >= b.cap) {
        char *p = (char *)realloc(b.data, b.cap + 256);
        if (!p) return false;
        b.data = p;
        b.cap += 256;
    }
    b.data[b.len++] = (char)c;
    return true;
}

// An allocation of exactly the collected length plus the terminator.
char *take(const TextBuf &b) {
    char *s = (char *)malloc(b.len + 1);
    if (!s) return nullptr;
    if (b.len) memcpy(s, b.data, b.len);
    s[b.len] = '\0';
    return s;
}

enum EntryEnd { ENTRY_OK, ENTRY_EOF, ENTRY_NOMEM };

// Reads one entry after its "(" into tok.
EntryEnd parse_entry(FILE *fp, d_token *tok) {
    TextBuf key, value;
    int c;
    do c = getc(fp);
    while (c != EOF && d_iswhite(c));

    while (c != EOF && !d_iswhite(c) && c != RTOKEN) {
        if (c >= 'A' && c <= 'Z') c = c - 'A' + 'a';
        if (!addch(key, c)) return ENTRY_NOMEM;
        c = getc(fp);
    }
    if (!(tok->d_key = take(key))) return ENTRY_NOMEM;
    if (c == EOF) return ENTRY_EOF;

    EntryEnd end = ENTRY_OK;
    if (c != RTOKEN) {  // the single white-space character after the key is consumed
        int depth = 1;
        for (;;) {
            c = getc(fp);
            if (c == EOF) {
                end = ENTRY_EOF;
                break;
            }
            if (c == '\\') {
                c = getc(fp);
                if (c == EOF) {
                    end = ENTRY_EOF;
                    break;
                }
            } else if (c == LTOKEN) {
                depth++;
            } else if (c == RTOKEN) {
                if (--depth == 0) break;
            }
            if (!addch(value, c)) return ENTRY_NOMEM;
        }
    }
    if (!(tok->d_value = take(value))) return ENTRY_NOMEM;
    return end;
}

}  // namespace

bool d_iswhite(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

d_token *parsehdr(FILE *fp) {
    d_token *head = nullptr;
    d_token **tail = &head;
    bool comment = false;
    int c;
    while ((c = getc(fp)) != EOF) {
        if (c == LTOKEN) {
            d_token *tok = (d_token *)calloc(1, sizeof(d_token));
            if (!tok) {
                lib_perror("parsehdr");
                break;
            }
            *tail = tok;
            tail = &tok->d_next;
            EntryEnd end = parse_entry(fp, tok);
            if (end == ENTRY_NOMEM) {
                lib_perror("parsehdr");
                break;
            }
            if (end == ENTRY_EOF) {
                lib_puts(2, "parsehdr: Unbalanced LTOKEN and RTOKENs\n");
                break;
            }
        } else if (c == ';') {
            comment = true;
        } else if (c == '\n') {
            comment = false;
        } else if (d_iswhite(c)) {
        } else if (c == RTOKEN) {
            if (!comment) {
                lib_puts(2, "parsehdr: Unbalanced LTOKEN and RTOKENs\n");
                break;
            }
        } else if (!comment) {
            lib_printf(2, "parsehdr: Illegal character %c outside keys\n", c);
            break;
        }
    }
    return head;
}

namespace {

// The whole text of a header file, read only when it is a regular file of
// at most D_MAXHEADER bytes (opened without blocking, so a FIFO cannot hang
// the reader). False after a message naming the file when it is not.
bool read_header_text(int fd, const std::string &file, std::string *text) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        lib_printf(2, "loadhdr: %s is not a regular file\n", file.c_str());
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Read to the end, or to one byte past the bound if the file grows.
    size_t got = 0;
    for (;;) {
        if (got == text->size()) {
            if (got > (size_t)D_MAXHEADER) break;
            const size_t want = std::max<size_t>((size_t)st.st_size + 1, got + 4096);
            text->resize(std::min(want, (size_t)D_MAXHEADER + 1));
        }
        const ssize_t r = read(fd, &(*text)[got], text->size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            lib_perror(file.c_str());
            return false;
        }
        if (r == 0) break;
        got += (size_t)r;
    }
    if (got > (size_t)D_MAXHEADER) {
        lib_printf(2, "loadhdr: %s is larger than %ld bytes: not a datfile header\n", file.c_str(),
                   D_MAXHEADER);
        return false;
    }
    text->resize(got);
    return true;
}

}  // namespace

d_token *loadhdr(const char *path, const char *mode) {
    std::string file = std::string(path) + "/descriptor";
    const int in = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (in >= 0) {
        std::string text;
        const bool ok = read_header_text(in, file, &text);
        close(in);
        if (!ok) return D_NOHEADER;
        if (text.empty()) return nullptr;
        FILE *fp = fmemopen(&text[0], text.size(), "r");
        if (!fp) {
            lib_perror("loadhdr");
            return D_NOHEADER;
        }
        d_token *h = parsehdr(fp);
        fclose(fp);
        return h;
    }
    if (mode[0] == 'r') {
        lib_perror("loadhdr");
        return D_NOHEADER;
    }
    int fd = creat(file.c_str(), 0644);
    if (fd < 0) {
        lib_perror("loadhdr");
        return D_NOHEADER;
    }
    close(fd);
    return nullptr;
}

int dumphdr(DATFILE *h) {
    if (h->db_h == D_NOHEADER) return 0;
    std::string file;
    try {
        file = std::string(h->db_name) + "/descriptor";
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        lib_perror("dumphdr");
        return -1;
    }
    FILE *fp = fopen(file.c_str(), "w");
    if (!fp) {
        lib_perror(file.c_str());
        return -1;
    }
    for (d_token *t = h->db_h; t; t = t->d_next) {
        if (!t->d_key) continue;
        putc(LTOKEN, fp);
        fputs(t->d_key, fp);
        if (t->d_value) {
            putc(' ', fp);
            for (const char *p = t->d_value; *p; p++) {
                if (*p == LTOKEN || *p == RTOKEN || *p == ';' || *p == '\\') putc('\\', fp);
                putc(*p, fp);
            }
        }
        putc(RTOKEN, fp);
        putc('\n', fp);
    }
    int bad = ferror(fp);
    if (fclose(fp) != 0 || bad) {
        lib_perror(file.c_str());
        return -1;
    }
    return 0;
}
