"""An independent eclipse-zenoh peer for the transport tests: publishes a sample on
<prefix>/stream every 10 ms and answers queries on <prefix>/rpc, echoing the query's payload
after a serialized "pong" and answering an error reply first when asked to.

usage: interop_peer.py PREFIX
Runs until its standard input closes."""
import sys
import threading

import zenoh
from zenoh.ext import Int32, UInt16, z_deserialize, z_serialize


def main() -> None:
    prefix = sys.argv[1]
    session = zenoh.open(zenoh.Config())

    def on_query(query: zenoh.Query) -> None:
        payload = query.payload.to_bytes() if query.payload is not None else b""
        request_id, groups = z_deserialize(tuple[UInt16, list[UInt16]], zenoh.ZBytes(payload))
        if request_id == 2:
            query.reply_err(z_serialize("not this one"))
        reply = z_serialize((UInt16(request_id), "pong", [Int32(g) for g in groups]))
        query.reply(query.key_expr, reply, encoding=zenoh.Encoding.ZENOH_SERIALIZED)

    queryable = session.declare_queryable(f"{prefix}/rpc", on_query)
    publisher = session.declare_publisher(f"{prefix}/stream")
    stop = threading.Event()

    def publish() -> None:
        counter = 0
        while not stop.wait(0.01):
            counter += 1
            publisher.put(z_serialize((UInt16(counter), [Int32(-5), Int32(6)], "sample")))

    thread = threading.Thread(target=publish, daemon=True)
    thread.start()
    print("ready", flush=True)
    sys.stdin.read()
    stop.set()
    thread.join()
    queryable.undeclare()
    publisher.undeclare()
    session.close()


if __name__ == "__main__":
    main()
