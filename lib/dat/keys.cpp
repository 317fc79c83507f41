// Key lookup and change on the in-memory header. Lookups and changes act on
// the first entry with the key (duplicates are kept); every change marks the
// header for rewriting at the next flush.
#include <cstdlib>
#include <cstring>

#include "dat.h"
#include "fail.h"
#include "mtxown.h"

char *d_getkey(DATFILE *h, const char *key) {
    if (h->db_h == D_NOHEADER) return nullptr;
    for (d_token *t = h->db_h; t; t = t->d_next)
        if (t->d_key && strcmp(t->d_key, key) == 0) return t->d_value;
    return nullptr;
}

char *d_getkey_elem(DATFILE *h, const char *key, int n) {
    char *p = d_getkey(h, key);
    if (!p) return nullptr;
    for (int i = 0; i < n; i++) {
        while (*p && !d_iswhite(*p)) p++;
        while (*p && d_iswhite(*p)) p++;
    }
    return p;
}

int chgkey(DATFILE *h, const char *key, const char *text, int append, const char *caller) {
    if (h->db_h == D_NOHEADER) {
        lib_printf(2, "%s: No header file\n", caller);
        return -1;
    }
    if (!text) text = "";
    d_token **link = &h->db_h;
    for (; *link; link = &(*link)->d_next) {
        d_token *t = *link;
        if (!t->d_key || strcmp(t->d_key, key) != 0) continue;
        size_t old = (append && t->d_value) ? strlen(t->d_value) : 0;
        size_t add = strlen(text);
        char *v = (char *)malloc(old + add + 1);
        if (!v) {
            lib_perror(caller);
            return -1;
        }
        if (old) memcpy(v, t->d_value, old);
        memcpy(v + old, text, add + 1);
        free(t->d_value);
        t->d_value = v;
        h->db_flag |= 1;
        return 0;
    }
    std::unique_ptr<d_token, FreeDeleter> t((d_token *)calloc(1, sizeof(d_token)));
    std::unique_ptr<char, FreeDeleter> k(strdup(key)), v(strdup(text));
    if (!t || !k || !v) {
        lib_perror(caller);
        return -1;
    }
    t->d_key = k.release();
    t->d_value = v.release();
    *link = t.release();
    h->db_flag |= 1;
    return 0;
}

int d_setkey(DATFILE *h, const char *key, const char *value) {
    return chgkey(h, key, value, 0, "d_setkey");
}

int d_appkey(DATFILE *h, const char *key, const char *text) {
    return chgkey(h, key, text, 1, "d_appkey");
}

int d_appkey_strvec(DATFILE *h, const char *key, int n, const char *const *strings) {
    for (int i = 0; i < n; i++)
        if (d_appkey(h, key, strings[i]) < 0 || d_appkey(h, key, " ") < 0) return -1;
    return 0;
}
