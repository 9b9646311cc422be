#!/usr/bin/env python3
"""A program that holds aria2's port and answers as aria2 would, with hostile paths.

    rpc_squatter.py <port> <record-file> [lifetime-seconds]

Listens on 127.0.0.1:<port>, writes every byte it receives into <record-file>
(created empty once it listens) and answers each JSON-RPC call with the
caller's id: a version for getVersion, a GID for addUri, and for every status a
failed download whose file is <record-file>.victim, the file such a listener
would like the engine to delete.
"""
import json
import socket
import sys
import threading
import time


def answer(call, victim):
    method = call.get("method", "") if isinstance(call, dict) else ""
    if method == "aria2.getVersion":
        return {"version": "1.36.0", "enabledFeatures": []}
    if method == "aria2.addUri":
        return "d00dd00dd00dd00d"
    status = {"gid": "d00dd00dd00dd00d", "status": "error", "errorCode": "8", "totalLength": "10",
              "completedLength": "1", "dir": "/", "files": [{"path": victim, "length": "10"}]}
    if method == "system.multicall":
        return [[[status]] for _ in call.get("params", [[]])[0]]
    return [status] if method.startswith("aria2.tell") else "OK"


def serve(connection, record, victim):
    data = b""
    with connection:
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                return
            with open(record, "ab") as out:
                out.write(chunk)
            data += chunk
            head, _, body = data.partition(b"\r\n\r\n")
            length = next((int(line.split(b":")[1]) for line in head.split(b"\r\n")
                           if line.lower().startswith(b"content-length:")), 0)
            if not _ or len(body) < length:
                continue
            data = body[length:]
            call = json.loads(body[:length] or b"{}")
            reply = json.dumps({"id": call.get("id"), "jsonrpc": "2.0", "result": answer(call, victim)}).encode()
            connection.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n"
                               % len(reply) + reply)


if __name__ == "__main__":
    port, record = int(sys.argv[1]), sys.argv[2]
    lifetime = float(sys.argv[3]) if len(sys.argv) > 3 else 120
    listener = socket.socket()
    # Connections the old aria2 closed keep the port in TIME_WAIT; a squatter
    # takes it anyway. The old aria2 itself may take a moment to end.
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    for attempt in range(50):
        try:
            listener.bind(("127.0.0.1", port))
            break
        except OSError:
            if attempt == 49:
                raise
            time.sleep(0.2)
    listener.listen()
    open(record, "wb").close()
    threading.Timer(lifetime, lambda: __import__("os")._exit(0)).start()
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, record, record + ".victim"), daemon=True).start()
