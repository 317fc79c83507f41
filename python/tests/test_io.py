"""sendral_io against the C++ datfile library: every type and byte order the
library writes reads back the same here, and the library reads what
write_dat writes.   /usr/bin/python3 test_io.py DAT_FIXTURE"""
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import sendral_io as sio  # noqa: E402

FIXTURE = None


def library_reads(*args):
    """{file: (sizes, elements as complex)} as the fixture prints them."""
    out = subprocess.run([FIXTURE, *args], capture_output=True, text=True)
    if out.returncode != 0:
        raise AssertionError(f"dat_fixture {' '.join(args)} failed:\n{out.stderr}")
    seen = {}
    for line in out.stdout.splitlines():
        name, sizes, vals = line.split("\t")
        v = np.array(vals.split(), dtype=float)
        seen[name] = ([int(s) for s in sizes.split()], v[0::2] + 1j * v[1::2])
    return seen


class DatTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def test_reads_what_the_library_writes(self):
        seen = library_reads("write", self.dir)
        self.assertEqual(len(seen), 24)  # 14 types, the 10 multi-byte ones in both orders
        for name, (sizes, values) in seen.items():
            with self.subTest(os.path.basename(name)):
                a = sio.read_dat(name, squeeze=False)
                self.assertEqual(list(a.shape), sizes)
                np.testing.assert_array_equal(a.ravel().astype(complex), values)

    def test_library_reads_what_write_dat_writes(self):
        halves = np.array([2.5, -2.5, 0.49, 300, -7, 1.5])
        cases = [  # array, type, byte order, values the library must read
            (np.arange(6.0).reshape(2, 3) / 3, None, None, None),
            (np.arange(24.0).reshape(2, 3, 4) - 7.5, None, "msb", None),
            (np.array([1, -300, 70000], np.int32), None, "msb", None),
            (np.array([3, 65535, 9], np.uint16), None, "lsb", None),
            (np.array([0.1, -1e30], np.float32), None, "msb", None),
            (np.array([1 + 2j, -3.5j], np.complex64), None, "msb", None),
            (np.array([[1 - 1j], [2e300 + 1j]]), None, None, None),
            (np.array([True, False]), None, None, None),
            (halves, "unsigned_1", None, [3, 0, 0, 255, 0, 2]),
            (halves, "signed_1", None, [3, -3, 0, 127, -7, 2]),
            (halves, "fixed_point_2", "msb", [2.5, -2.5, 0.48828125, 127.99609375, -7, 1.5]),
        ]
        names = []
        for i, (arr, typ, order, _) in enumerate(cases):
            names.append(os.path.join(self.dir, f"w{i}"))
            sio.write_dat(names[-1], arr, type=typ, byteorder=order)
        seen = library_reads("read", *names)
        for name, (arr, typ, order, expect) in zip(names, cases):
            with self.subTest(f"{arr.dtype} as {typ} {order}"):
                sizes, values = seen[name]
                self.assertEqual(sizes, [1, 1, *arr.shape])
                want = np.asarray(arr if expect is None else expect).ravel().astype(complex)
                np.testing.assert_array_equal(values, want)
                back = sio.read_dat(name)
                self.assertEqual(back.shape, arr.shape)
                np.testing.assert_array_equal(back.ravel().astype(complex), want)

    def test_double_matrix_is_byte_for_byte_the_librarys(self):
        ours, theirs = os.path.join(self.dir, "ours"), os.path.join(self.dir, "theirs")
        library_reads("matrix", theirs)
        sio.write_dat(ours, np.arange(6).reshape(2, 3) * 1.25 - 2, type="double")
        sio.write_dat(ours, np.arange(6).reshape(2, 3) * 1.25 - 2)  # replaces the first
        for part in ("descriptor", "data"):
            with open(os.path.join(ours, part), "rb") as a, open(os.path.join(theirs, part), "rb") as b:
                self.assertEqual(a.read(), b.read(), part)

    def test_odd_descriptors_read_as_the_library_reads_them(self):
        cases = [  # descriptor text, element bytes
            b"; note (_data_type signed_2) rest ) x\n(_Dimensions  3)\n(_byte_order msb)"
            b"(_dimensions 2)\n", bytes(range(6)),
            b"(_data_type float)\n(_dimensions 2 2)(_note a\\)b(c)d;)\n(_byte_order lsb) j "
            b"(_dimensions 9)\n", np.arange(4, dtype="<f4").tobytes(),
            b"(_data_type double)(_byte_order big)(_channels 2 3)(_dimensions 2x 5)",
            np.arange(4.0).tobytes(),
        ]
        names = []
        for i in range(0, len(cases), 2):
            names.append(os.path.join(self.dir, f"odd{i}"))
            os.mkdir(names[-1])
            for part, content in (("descriptor", cases[i]), ("data", cases[i + 1])):
                with open(os.path.join(names[-1], part), "wb") as f:
                    f.write(content)
        seen = library_reads("read", *names)
        for name in names:
            with self.subTest(name):
                a = sio.read_dat(name, squeeze=False)
                self.assertEqual(list(a.shape), seen[name][0])
                np.testing.assert_array_equal(a.ravel().astype(complex), seen[name][1])

    def test_damaged_files_are_refused_naming_the_file(self):
        cases = [  # descriptor (None: no datfile directory), data, words of the message
            (None, None, "not a datfile"),
            (b"(_data_type double)", b"", "dimensions unknown"),
            (b"(_data_type Double)(_dimensions 1)", b"12345678", "unknown data type"),
            (b"(_dimensions 1)", b"12345678", "no data type"),
            (b"(_data_type double)(_dimensions 2 3)", bytes(40), "40 bytes"),
            (b"(_data_type signed_4)(_dimensions 3 0)", b"", "positive"),
            (b"(_data_type signed_2)(_dimensions 2147483647 2)", b"", "2 GiB"),
            (b"(_data_type double)(_dimensions 1)", None, "cannot read"),
        ]
        for i, (descr, data, words) in enumerate(cases):
            name = os.path.join(self.dir, f"bad{i}")
            if descr is None:
                open(name, "wb").close()
            else:
                os.mkdir(name)
                with open(os.path.join(name, "descriptor"), "wb") as f:
                    f.write(descr)
                if data is not None:
                    with open(os.path.join(name, "data"), "wb") as f:
                        f.write(data)
            with self.subTest(words), self.assertRaises(sio.DatError) as e:
                sio.read_dat(name)
            self.assertIn(name, str(e.exception))
            self.assertIn(words, str(e.exception))


if __name__ == "__main__":
    FIXTURE = sys.argv.pop(1)
    unittest.main()
