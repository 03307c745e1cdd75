#!/usr/bin/env python3
"""Writes the signed core file lists that the tests use where no signer is at hand (the Windows
build runs its tests under Wine, without OpenSSL).

    tools/make_core_list_fixtures.py [OUTPUT_DIR]     (default: tests/data/core_list)

OUTPUT_DIR/valid/_vanro/core-files.tsv, .sig   511 records signed with the test key
OUTPUT_DIR/crlf/_vanro/core-files.tsv, .sig    the same records with CR LF line ends, signed too
OUTPUT_DIR/other-key.sig                       the valid list signed with a throwaway key

The lists are the same on every run; the signatures differ, since ECDSA signing is randomised.
Needs python3 and the openssl command.
"""
import hashlib
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TEST_KEY = os.path.join(ROOT, "tools", "keys", "test-private-key.pem")

FIXED_FILES = [
    "VANROLauncher.exe",
    "_vanro/FONT-LICENSE.txt",
    "_vanro/characters.bin",
    "_vanro/japanese-emphasis.bin",
    "_vanro/japanese.bin",
    "_vanro/runtime/winmm.dll",
    "_vanro/sarasa-gothic-sc-bold.ttf",
    "_vanro/save-offsets.bin",
]


def records():
    paths = FIXED_FILES + ["_vanro/patch/AdvData/MES/m%03d.mes" % i for i in range(400)]
    paths += ["_vanro/patch/AdvData/GRP/SYSTEM/g%03d.png" % i for i in range(103)]
    assert len(paths) == 511
    # Byte-wise order, as the list requires.
    return sorted((p, hashlib.sha256(b"fixture:" + p.encode()).hexdigest()) for p in paths)


def list_bytes(line_end):
    text = "VANROAUTH01" + line_end + "".join("%s\t%s%s" % (p, d, line_end) for p, d in records())
    return text.encode("ascii")


def der_length(data, i):
    first = data[i]
    if first < 0x80:
        return first, i + 1
    count = first & 0x7F
    return int.from_bytes(data[i + 1:i + 1 + count], "big"), i + 1 + count


def raw_signature(der):
    """The DER SEQUENCE { INTEGER r, INTEGER s } as the 64 bytes r || s."""
    assert der[0] == 0x30
    _, i = der_length(der, 1)
    out = b""
    for _ in range(2):
        assert der[i] == 0x02
        length, i = der_length(der, i + 1)
        value = int.from_bytes(der[i:i + length], "big")
        out += value.to_bytes(32, "big")
        i += length
    return out


def sign(key, data, scratch):
    message = os.path.join(scratch, "message")
    with open(message, "wb") as f:
        f.write(data)
    der = subprocess.run(["openssl", "dgst", "-sha256", "-sign", key, message],
                         check=True, capture_output=True).stdout
    return raw_signature(der)


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "tests", "data", "core_list")
    with tempfile.TemporaryDirectory() as scratch:
        other_key = os.path.join(scratch, "other-key.pem")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", other_key],
                       check=True, capture_output=True)
        for name, line_end in (("valid", "\n"), ("crlf", "\r\n")):
            data = list_bytes(line_end)
            write(os.path.join(out, name, "_vanro", "core-files.tsv"), data)
            write(os.path.join(out, name, "_vanro", "core-files.sig"), sign(TEST_KEY, data, scratch))
        write(os.path.join(out, "other-key.sig"), sign(other_key, list_bytes("\n"), scratch))


if __name__ == "__main__":
    main()
