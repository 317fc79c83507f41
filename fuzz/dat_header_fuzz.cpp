// The datfile header through the open path: the input is a descriptor.
//
// Properties: the open of a directory holding a descriptor never fails
// whatever the text; the accessors of the reserved keys stay within their
// ranges and agree with each other; and a header written back and read
// again gives the same entries (after a key change that needs escaping).
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "dat.h"
#include "fuzz_support.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// Keys and values as the C strings that every lookup sees; an entry cut
// short by the end of the text has no value and is written back as empty.
Entries entries_of(DATFILE *h) {
    Entries out;
    for (d_token *t = h->db_h; t; t = t->d_next) {
        FUZZ_CHECK(t->d_key != nullptr);
        out.emplace_back(t->d_key, t->d_value ? t->d_value : "");
    }
    return out;
}

void check_accessors(DATFILE *h) {
    int32_t sets = -7, chans = -7, all[10];
    int n = d_getdim(h, &sets, &chans, all, 10);
    FUZZ_CHECK(n >= 0 && n <= 10);
    if (!d_getkey(h, "_data_sets")) FUZZ_CHECK(sets == 1);
    if (!d_getkey(h, "_channels")) FUZZ_CHECK(chans == 1);
    FUZZ_CHECK(d_getdim(h, nullptr, nullptr, nullptr, 0) == n);
    for (int max = 1; max <= 10; max++) {
        int32_t some[10];
        memset(some, 0x5a, sizeof some);
        FUZZ_CHECK(d_getdim(h, nullptr, nullptr, some, max) == n);
        int stored = n < max ? n : max;
        // The last values are kept when there are more than asked for.
        for (int i = 0; i < stored; i++) FUZZ_CHECK(some[i] == all[n - stored + i]);
        for (int i = stored; i < 10; i++) FUZZ_CHECK(some[i] == 0x5a5a5a5a);
    }

    int size = -1;
    int code = d_gettype(h, &size);
    if (code == 0) {
        FUZZ_CHECK(size == 1);
    } else {
        FUZZ_CHECK(size == 1 << _dsize(code));
    }
    int bo = d_get_byte_order(h);
    FUZZ_CHECK(bo == -1 || bo == MSB || bo == LSB);

    for (d_token *t = h->db_h; t; t = t->d_next) {
        const char *v = d_getkey(h, t->d_key);
        FUZZ_CHECK(v != nullptr || t->d_value == nullptr);
        if (!v) continue;
        size_t len = strlen(v);
        const char *prev = v;
        for (int i = 0; i < 12; i++) {
            const char *p = d_getkey_elem(h, t->d_key, i);
            FUZZ_CHECK(p >= prev && p <= v + len);
            prev = p;
        }
    }
}

}  // namespace

void fuzz_dat_header(const uint8_t *data, size_t size) {
    const std::string &dir = fuzz_scratch("hdr");
    static bool made = false;
    if (!made) {
        fuzz_write_file(dir + "/data", "", 0);
        made = true;
    }
    fuzz_write_file(dir + "/descriptor", data, size);

    DATFILE *h = d_open(dir.c_str(), "r");
    FUZZ_CHECK(h != nullptr);
    FUZZ_CHECK(h->db_h != D_NOHEADER);
    check_accessors(h);
    Entries before = entries_of(h);

    // A written key must begin the entry again on reading: a key that the
    // C string ends at once (a NUL byte) would hand its value's first word
    // over as the key, so such headers are only checked for what they read.
    bool writable = true;
    for (auto &e : before)
        if (e.first.empty() && !e.second.empty()) writable = false;

    // Change the first entry and add one whose value needs every escape.
    const char *tricky = "a(b)c;d\\e) (f";
    if (!before.empty() && !before[0].first.empty()) {
        FUZZ_CHECK(d_appkey(h, before[0].first.c_str(), tricky) == 0);
        before[0].second += tricky;
    }
    FUZZ_CHECK(d_setkey(h, "fuzz_probe", tricky) == 0);
    bool had_probe = false;
    for (auto &e : before)
        if (e.first == "fuzz_probe" && !had_probe) {
            e.second = tricky;
            had_probe = true;
        }
    if (!had_probe) before.emplace_back("fuzz_probe", tricky);
    FUZZ_CHECK(d_close(h) == 0);

    DATFILE *again = d_open(dir.c_str(), "r");
    FUZZ_CHECK(again != nullptr);
    if (writable) FUZZ_CHECK(entries_of(again) == before);
    check_accessors(again);
    FUZZ_CHECK(d_close(again) == 0);
}
