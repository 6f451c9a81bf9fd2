"""Prints RPC request and reply encodings made by eclipse-zenoh's zenoh.ext serializer, one per
line: <name> <hex>. The C++ tests decode the replies with our decoder and compare our request
encoder's output; a few replies are damaged on purpose after encoding."""
import sys

import zenoh
from zenoh.ext import Float32, Int32, UInt16, ZDeserializeError, z_deserialize, z_serialize

REPLY_TYPE = tuple[UInt16, bool, list[UInt16], list[Int32], list[str], list[Float32],
                   list[list[Float32]]]


def u16s(values):
    return [UInt16(v) for v in values]


def reply(request_id, success, groups=(), ints=(), strings=(), floats=(), rows=()):
    return z_serialize((
        UInt16(request_id),
        success,
        u16s(groups),
        [Int32(v) for v in ints],
        list(strings),
        [Float32(v) for v in floats],
        [[Float32(v) for v in row] for row in rows],
    )).to_bytes()


FULL = reply(10, True, [2, 3, 65535], [0, -1, 2147483647], ["v2.1", "", "h\u00e9llo"],
             [7.0, 6.9, -0.5], [[0.5] * 8, [], [-1.5, 2.0]])

VECTORS = {
    "reply_full": FULL,
    "reply_empty": reply(1, True),
    "reply_probe": reply(0, False),
    "reply_trailing_byte": FULL + b"\x00",
    "reply_cut_in_last_row": FULL[:-2],
    "reply_cut_before_joint_groups": FULL[:3],
    # The success byte of a bool is 0 or 1; anything else is not a bool.
    "reply_bool_two": FULL[:2] + b"\x02" + FULL[3:],
    # The joint_groups length (3) as ten bytes: padded it still reads 3; a tenth byte with more
    # than bit 63 is refused, as zenoh.ext refuses it (checked in main).
    "reply_length_padded": FULL[:3] + bytes.fromhex("83" + "80" * 8 + "00") + FULL[4:],
    "reply_length_tenth_7f": FULL[:3] + bytes.fromhex("83" + "80" * 8 + "7f") + FULL[4:],
    "request_10_2_3_unknown": z_serialize((UInt16(10), u16s([2, 3, 65535]))).to_bytes(),
    "request_0_empty": z_serialize((UInt16(0), u16s([]))).to_bytes(),
    "request_65535_300": z_serialize((UInt16(65535), u16s(range(300)))).to_bytes(),
}


def zenoh_accepts(payload: bytes) -> bool:
    try:
        z_deserialize(REPLY_TYPE, zenoh.ZBytes(payload))
    except ZDeserializeError:
        return False
    return True


def main() -> None:
    assert FULL[3] == 3
    assert zenoh_accepts(VECTORS["reply_length_padded"])
    assert not zenoh_accepts(VECTORS["reply_length_tenth_7f"])
    for name, value in VECTORS.items():
        sys.stdout.write(f"{name} {value.hex()}\n")


if __name__ == "__main__":
    main()
