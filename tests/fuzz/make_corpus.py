"""Writes the seed inputs of the fuzz targets into corpus/<target>/seed-*.

The message seeds are the payloads the decoder tests use (messages/stream_vectors.py and
messages/rpc_vectors.py: eclipse-zenoh's and the simulator's encodings, with their fault shapes)
plus the simulator's replies; the text seeds are the simulator's primitive states and plan info,
one text a line, and a few malformed lists. Files named regression-* are findings kept as
regression inputs and are left alone.

    .venv/bin/python tests/fuzz/make_corpus.py
"""
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent
sys.path.insert(0, str(TESTS.parent / "sim"))

from orbaltkvt_sim import messages as m  # noqa: E402
from orbaltkvt_sim.model import RobotModel  # noqa: E402


def vectors(script: str) -> dict[str, bytes]:
    out = subprocess.run([sys.executable, str(TESTS / "messages" / script)], check=True,
                         capture_output=True, text=True).stdout
    result = {}
    for line in out.splitlines():
        if line == "end":
            break
        name, hex_payload = line.split(" ", 1)
        result[name] = bytes.fromhex(hex_payload)
    return result


def lines(texts) -> bytes:
    return "\n".join(texts).encode()


def seeds() -> dict[str, dict[str, bytes]]:
    streams = vectors("stream_vectors.py")
    rpc = vectors("rpc_vectors.py")
    corpus = {name: {} for name in ("basic_stream", "extra_stream", "rpc_reply", "rpc_request",
                                    "primitive_states", "plan_info", "serial_number")}
    for name, payload in streams.items():
        corpus["basic_stream" if name.startswith("basic") else "extra_stream"][name] = payload
    for name, payload in rpc.items():
        corpus["rpc_reply" if name.startswith("reply") else "rpc_request"][name] = payload

    model = RobotModel("dual")
    single = RobotModel("single")
    times = {"working": 12.5, "stopped": 1.0}
    groups, rows = model.manipulability(3.0)
    starts = model.start_ids_and_dofs([0, 2, 3, 4, 5, 1])
    corpus["rpc_reply"].update({
        "sim_manipulability": m.encode_reply(m.RPCReply(9, True, joint_groups=groups,
                                                        float2d_container=rows)),
        "sim_start_ids": m.encode_reply(m.RPCReply(10, True, joint_groups=starts[0],
                                                   int_container=starts[1],
                                                   float_container=starts[2])),
        "sim_plan_info": m.encode_reply(m.RPCReply(4, True,
                                                   string_container=model.plan_info(12.5))),
    })
    for label, t in times.items():
        corpus["primitive_states"][f"sim_dual_{label}"] = lines(model.primitive_states(t))
        corpus["plan_info"][f"sim_{label}"] = lines(model.plan_info(t))
    corpus["primitive_states"]["sim_single"] = lines(single.primitive_states(12.5))
    corpus["primitive_states"].update({
        "typed_values": lines(["jointGroup=3", "primitiveName=Move Home", "speed=0.5", "n=-12",
                               "big=2147483648", "exp=1e-3", "note=", "expr=a=b"]),
        "missing_marker": lines(["speed=1", "jointGroup=2", "primitiveName=A"]),
        "duplicate_group": lines(["jointGroup=2", "primitiveName=A", "jointGroup=2"]),
    })
    corpus["plan_info"].update({
        "numbers_bad": lines(["a", "b", "c", "d", "e", "f", "fast", "1x"]),
        "seven_texts": lines(["a", "b", "c", "d", "e", "f", "0.5"]),
    })
    corpus["serial_number"].update({
        name: sn.encode() for name, sn in {
            "simulator": "ORB-SIM-0001", "spaced": "AB 12-345678", "dashed": "AB-12-345678",
            "double_dash": "AB--1", "underscore": "AB_1-2", "suffix_only": "-1",
            "key_syntax": "AB-$*", "spaced_suffix": "AB-1 2"}.items()})
    return corpus


def main() -> None:
    for target, inputs in seeds().items():
        folder = HERE / "corpus" / target
        folder.mkdir(parents=True, exist_ok=True)
        for old in folder.glob("seed-*"):
            old.unlink()
        for name, payload in inputs.items():
            (folder / f"seed-{name}").write_bytes(payload)
        print(f"{target}: {len(inputs)} seeds", file=sys.stderr)


if __name__ == "__main__":
    main()
