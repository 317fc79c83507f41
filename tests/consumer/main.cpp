// Detects one image with an installed libsendral and writes the saliency
// map's doubles, row-major in native byte order, as raw bytes to OUT: the
// layout of the data file in Lumivar -v's NAME_sm.dat. Prints the library's
// version first, ahead of the library's own messages.
//   consumer RESULT_DIR CLASS IMAGE OUT
#include <sendral/lumivar.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

int main(int argc, char **argv) {
    if (argc != 5) {
        std::cerr << "usage: consumer RESULT_DIR CLASS IMAGE OUT\n";
        return 2;
    }
    std::cout << sendral::version() << std::endl;
    try {
        const lumivar::Model model(argv[1], std::atoi(argv[2]));
        const lumivar::Result result = model.detect(argv[3]);
        if (result.map.size() != static_cast<size_t>(result.rows) * result.cols) {
            std::cerr << "map of " << result.map.size() << " values for " << result.rows << "x"
                      << result.cols << "\n";
            return 1;
        }
        std::ofstream out(argv[4], std::ios::binary);
        out.write(reinterpret_cast<const char *>(result.map.data()),
                  static_cast<std::streamsize>(result.map.size() * sizeof(double)));
        if (!out.flush()) {
            std::perror(argv[4]);
            return 1;
        }
    } catch (const sendral::Error &e) {
        std::cerr << e.what() << "\n";
        return e.status();
    }
    return 0;
}
