// Map kinds (-m): how the DCT responses of a feature become its channel,
// and whether the channels are weighted by the features' costs in the sum.
// Each kind is one row of the table in mapkinds.cpp; the option's range
// check, its line of the usage text, the API's check, the channel code and
// the weighting all read that table.
#ifndef MAPKINDS_H
#define MAPKINDS_H

#include <string>
#include <vector>

// The models of one feature that a transform may use: the query class's
// and the background class's (class 0) scale and shape, and the constant
// part of their log-likelihood ratio (genSalConst).
struct ChannelModels {
    double alphaOb = 0, betaOb = 0, alphaBack = 0, betaBack = 0, K = 0;
};

// Turns n correlation values (signed DCT coefficients) into channel values
// in place. Called once per row, so that the loop over samples stays in one
// function.
using ChannelTransform = void (*)(double *p, int n, const ChannelModels &m);

struct MapKind {
    int number;                  // the value of -m
    ChannelTransform transform;  // the channel's values
    // The transform reads the models; where one of them has no density
    // (a scale or shape that is not a positive finite number) the channel
    // is all zero.
    bool uses_models;
    // Without -enforce, channel i is weighted by feature i's cost; else by 1.
    bool weighted;
    // Its entry in the usage text's -m line after "N:", spacing to the next
    // entry included (the text keeps its historical layout).
    const char *help;
};

// The kind that Sendral's fitted weights and learned channels use.
constexpr int kPowerMapKind = 0;

// Every kind, in number order (row i has number i).
const std::vector<MapKind> &map_kinds();
// The kind numbered `number`, or null when there is none.
const MapKind *find_map_kind(int number);
// The kind numbered `number`; an unknown number is a fatal error.
const MapKind &map_kind(int number);

// The usage text's -m entries: "0:..." for every kind, one after the other.
std::string map_kind_help();
// The kind numbers as a reader expects them listed: "0, 1 or 2".
std::string map_kind_numbers();

// The transforms (salmap.cpp).
// |x|^1.5, pow's own doubles.
void power_channel(double *p, int n, const ChannelModels &m);
// With L = max(ln p_obj(|x|) - ln p_back(|x|), 0), s = sigmoid(L),
// t = sigmoid(-L): s ln s + t ln t + ln 2.
void loglikely_channel(double *p, int n, const ChannelModels &m);

#endif
