# Generated test images for the shell tests (sourced, POSIX sh).
# pgm FILE W H KIND SEED: grey noise; kind 1 adds vertical stripes.
pgm() {
  awk -v w="$2" -v h="$3" -v k="$4" -v s="$5" 'BEGIN { srand(s); print "P2"; print w, h; print 255
    for (r = 0; r < h; r++) { line = ""
      for (c = 0; c < w; c++) {
        v = 128 + 60 * (rand() - 0.5) + (k == 1 ? 70 * cos(6.2832 * c / 16 + s) : 0)
        line = line " " int(v < 0 ? 0 : v > 255 ? 255 : v) }
      print line } }' >"$1"
}
