"""Streamed request bodies: sent as written, back-pressure on the writer,
and the states in which writing is refused."""

import hashlib
import json
import threading

import pytest

import peers
import servers

MIB = 1024 * 1024


def pattern(i, size):
    return bytes([(i * 7 + j) % 251 for j in range(256)]) * (size // 256)


@pytest.mark.parametrize("tls", [False, True])
def test_64_mib_streamed_upload_arrives_intact(native, app, ca_pem, tls):
    engine = native.PyEngine(ca_pem=ca_pem)
    request = engine.request("PUT", app.url("/echo", tls=tls), chunked=True)
    request.start()
    digest = hashlib.sha256()
    piece = 256 * 1024
    for i in range(64 * MIB // piece):
        data = pattern(i, piece)
        digest.update(data)
        request.upload_write(data, False)
    request.upload_finish()
    response = request.await_response()
    echoed = json.loads(bytes(request.read_body()))
    assert response.status_code == 200
    assert echoed["method"] == "PUT"
    assert echoed["body_length"] == 64 * MIB
    assert echoed["body_sha256"] == digest.hexdigest()
    if not tls:
        assert ["transfer-encoding", "chunked"] in echoed["headers"]


def test_writer_blocks_while_the_peer_does_not_read(engine):
    gate = peers.GatedUpload()
    server = servers.ScriptedServer({"/upload": gate})
    try:
        request = engine.request("POST", server.url("/upload"), chunked=True)
        request.start()
        written = []
        piece = b"z" * (256 * 1024)
        total = 256 * MIB

        def writer():
            for _ in range(total // len(piece)):
                request.upload_write(piece, False)
                written.append(len(piece))
            request.upload_finish()

        thread = threading.Thread(target=writer)
        thread.start()
        # With the peer not reading, the writer must stop long before the end:
        # the Core holds 4 MiB, the rest sits in socket buffers.
        thread.join(2.0)
        assert thread.is_alive()
        stalled_at = sum(written)
        assert stalled_at < 64 * MIB
        gate.open.set()
        thread.join(120)
        assert not thread.is_alive()
        response = request.await_response()
        length, digest = bytes(request.read_body()).split()
        assert response.status_code == 200
        assert int(length) == total
        assert digest.decode() == hashlib.sha256(piece * (total // len(piece))).hexdigest()
    finally:
        gate.open.set()
        server.stop()


def test_writes_before_start_are_sent(engine, app):
    request = engine.request("POST", app.url("/echo"), chunked=True)
    request.upload_write(b"early ", False)
    request.start()
    request.upload_write(b"late", True)
    request.await_response()
    echoed = json.loads(bytes(request.read_body()))
    assert echoed["body_sha256"] == hashlib.sha256(b"early late").hexdigest()


def test_empty_streamed_body(engine, app):
    request = engine.request("POST", app.url("/echo"), chunked=True)
    request.start()
    request.upload_finish()
    request.await_response()
    assert json.loads(bytes(request.read_body()))["body_length"] == 0


def test_write_after_the_final_chunk_is_refused(engine, app):
    request = engine.request("POST", app.url("/echo"), chunked=True)
    request.start()
    request.upload_write(b"all", True)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_write(b"more", False)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_finish()
    request.await_response()
    assert json.loads(bytes(request.read_body()))["body_length"] == 3


@pytest.mark.parametrize("body", [None, b"bytes"])
def test_write_to_a_request_without_streamed_body_is_refused(engine, app, body):
    request = engine.request("POST", app.url("/echo"), body=body)
    with pytest.raises(RuntimeError, match="^InvalidState$"):
        request.upload_write(b"x", False)


def test_write_after_cancel_reports_the_cancel(engine, app):
    request = engine.request("POST", app.url("/echo"), chunked=True)
    request.start()
    request.upload_write(b"x", False)
    request.cancel()
    while not request.is_finished():
        threading.Event().wait(0.01)
    with pytest.raises(RuntimeError, match="^Canceled$"):
        request.upload_write(b"y", False)
