// What no image route can go below, for the benchmarks to print beside
// their figures: libjpeg's own decode and encode of a file, and a plain
// pass over memory. Each is the median CPU time (this thread) of `reps`
// repetitions, in milliseconds, after one untimed warm-up; input buffers
// are read and output buffers touched before timing, so first-touch page
// faults are not counted. A file that libjpeg cannot read gives -1.
#ifndef BENCH_FLOORS_H
#define BENCH_FLOORS_H

#include <cstddef>
#include <string>

// Decoding the JPEG file (already in memory) to 8-bit samples, in
// libjpeg's default output colour space (grey stays grey, YCbCr becomes RGB).
double floor_jpeg_decode_ms(const std::string &path, int reps);

// Encoding those samples to memory as ImageMagick's JPEG writer does for an
// image read from the file: its quality (that of the file's tables when
// they are libjpeg's scaled standard ones, else ImageMagick's default 92),
// the file's sampling factors, optimized Huffman tables, the fast integer
// DCT at quality 90 and below, the default one above.
double floor_jpeg_encode_ms(const std::string &path, int reps);

// One streaming pass that reads `read_bytes` and writes `write_bytes`.
double floor_pass_ms(size_t read_bytes, size_t write_bytes, int reps);

#endif
