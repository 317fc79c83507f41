// The table of map kinds. A new kind is a row here and its transform.
#include "mapkinds.h"

#include "fail.h"

const std::vector<MapKind> &map_kinds() {
    // Kinds 1 and 2 make the same channel; only the weighting differs.
    static const std::vector<MapKind> kinds = {
        {0, power_channel, false, true, "I(x;y)|x|^1.5(default)   "},
        {1, loglikely_channel, true, false, "Sum of loglikely    "},
        {2, loglikely_channel, true, true, "Weighted sum of loglikely"},
    };
    return kinds;
}

const MapKind *find_map_kind(int number) {
    const std::vector<MapKind> &kinds = map_kinds();
    if (number < 0 || (size_t)number >= kinds.size()) return nullptr;
    return &kinds[(size_t)number];
}

const MapKind &map_kind(int number) {
    const MapKind *kind = find_map_kind(number);
    if (!kind)
        lib_fatalf(1, "Error: map kind %d is not one of %s\n", number, map_kind_numbers().c_str());
    return *kind;
}

std::string map_kind_help() {
    std::string text;
    for (const MapKind &k : map_kinds()) text += std::to_string(k.number) + ":" + k.help;
    return text;
}

std::string map_kind_numbers() {
    const std::vector<MapKind> &kinds = map_kinds();
    std::string text;
    for (size_t i = 0; i < kinds.size(); i++) {
        if (i > 0) text += i + 1 == kinds.size() ? " or " : ", ";
        text += std::to_string(kinds[i].number);
    }
    return text;
}
