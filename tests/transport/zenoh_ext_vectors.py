"""Prints reference encodings made by eclipse-zenoh's zenoh.ext serializer, one per line:
<name> <hex>. The C++ tests decode them with our decoder and compare our encoder's output.

It also prints how zenoh.ext's own decoder reads hand-assembled sequence-length prefixes, as
"lenprefix.<case> <payload hex>" and "lenprefix.<case>.zenoh <verdict>": the verdict is the
canonical encoding of what zenoh.ext decoded, "rejected" when it refused the payload, or "huge"
when it accepted the prefix but could not allocate the length it announces."""
import contextlib
import math
import os
import sys

import zenoh
from zenoh.ext import (
    Float32, Int16, Int32, UInt16, UInt32, ZDeserializeError, z_deserialize, z_serialize)

VECTORS = {
    "u16_zero": UInt16(0),
    "u16_max": UInt16(65535),
    "u16_258": UInt16(258),
    "i16_min": Int16(-32768),
    "i16_minus_one": Int16(-1),
    "i32_min": Int32(-2147483648),
    "i32_12345678": Int32(12345678),
    "u32_max": UInt32(4294967295),
    "f32_one_half": Float32(0.5),
    "f32_minus_pi": Float32(-3.1415927),
    "f32_inf": Float32(math.inf),
    "bool_true": True,
    "bool_false": False,
    "str_empty": "",
    "str_ascii": "orbalt",
    "str_utf8": "h\u00e9llo \u2603 \U0001F916",
    "str_300": "x" * 300,
    "seq_u16_empty": [UInt16(x) for x in []],
    "seq_u16_3": [UInt16(0), UInt16(2), UInt16(65535)],
    "seq_f32_200": [Float32(i * 0.25) for i in range(200)],
    "seq_str": ["a", "", "jointGroup=2"],
    "seq_seq_f32": [[Float32(1.0), Float32(2.0)], [], [Float32(-1.5)]],
    "seq_i32": [Int32(-1), Int32(7), Int32(2147483647)],
    "arr6_f32": [Float32(v) for v in (1, 2, 3, 4, 5, 6)],
    "arr20_bool": [i % 3 == 0 for i in range(20)],
    "seq_arr3_f32": [[Float32(1), Float32(2), Float32(3)], [Float32(4), Float32(5), Float32(6)]],
    "tuple_u16_i16_bool": (UInt16(3), Int16(-2), True),
    "request_10_2_3": (UInt16(10), [UInt16(2), UInt16(3)]),
    "request_1_empty": (UInt16(1), [UInt16(x) for x in []]),
    "request_9_unknown": (UInt16(9), [UInt16(65535)]),
    "request_3_200": (UInt16(3), [UInt16(i) for i in range(200)]),
    "reply_full": (
        UInt16(10),
        True,
        [UInt16(2), UInt16(3)],
        [Int32(0), Int32(7)],
        ["v2.1"],
        [Float32(7.0), Float32(6.0)],
        [[Float32(0.5)] * 8],
    ),
}


# Payloads read as a list of UInt16: a length prefix, then the elements it announces.
ONE = "0100"
LENGTH_PREFIXES = {
    "zero": "00",
    "one": "01" + ONE,
    "overlong_zero_2": "8000",
    "overlong_zero_3": "808000",
    "overlong_zero_10": "80" * 9 + "00",
    "overlong_one_2": "8100" + ONE,
    "overlong_one_10": "81" + "80" * 8 + "00" + ONE,
    "tenth_01_bit63": "80" * 9 + "01",
    "tenth_01_max": "ff" * 9 + "01",
    "tenth_02": "81" + "80" * 8 + "02" + ONE,
    "tenth_40": "81" + "80" * 8 + "40" + ONE,
    "tenth_7e": "81" + "80" * 8 + "7e" + ONE,
    "tenth_7f": "81" + "80" * 8 + "7f" + ONE,
    "tenth_continues": "81" + "80" * 8 + "81" + "00" + ONE,
    "eleven_bytes": "81" + "80" * 9 + "00" + ONE,
    "truncated": "8080",
    "empty": "",
}


@contextlib.contextmanager
def quiet_stderr():
    # A failed allocation inside zenoh.ext panics, which prints a backtrace on fd 2.
    saved = os.dup(2)
    with open(os.devnull, "wb") as null:
        os.dup2(null.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def zenoh_verdict(payload_hex: str) -> str:
    try:
        with quiet_stderr():
            values = z_deserialize(list[UInt16], zenoh.ZBytes(bytes.fromhex(payload_hex)))
    except ZDeserializeError:
        return "rejected"
    except BaseException as exc:  # noqa: BLE001 - the panic of a failed allocation
        if "capacity overflow" in str(exc):
            return "huge"
        raise
    return z_serialize([UInt16(v) for v in values]).to_bytes().hex()


def main() -> None:
    out = sys.stdout
    for name, value in VECTORS.items():
        out.write(f"{name} {z_serialize(value).to_bytes().hex()}\n")
    for name, payload in LENGTH_PREFIXES.items():
        out.write(f"lenprefix.{name} {payload}\n")
        out.write(f"lenprefix.{name}.zenoh {zenoh_verdict(payload)}\n")


if __name__ == "__main__":
    main()
