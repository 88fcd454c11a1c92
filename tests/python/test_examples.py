"""The asyncio example works as documented."""

import asyncio
import importlib.util
import pathlib

import pytest

from fake_requests import NETWORK, FakeRequest, tidy_requests  # noqa: F401

EXAMPLE = pathlib.Path(__file__).parents[2] / "examples" / "asyncio_fetch.py"


@pytest.fixture
def example(native):
    spec = importlib.util.spec_from_file_location("asyncio_fetch", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run(example, native, script):
    async def scenario():
        task = asyncio.ensure_future(example.fetch(native.PyEngine(), "http://127.0.0.1/e"))
        await asyncio.sleep(0)  # the request is created and started
        script(FakeRequest.last())
        return await asyncio.wait_for(task, 10)

    return asyncio.run(scenario())


def test_fetch_resolves_with_the_whole_body(example, native):
    def script(core):
        core.response(200, b"HTTP/1.1 200 OK\r\n\r\n")
        for i in range(150):  # more than one poll batch
            core.body(bytes([i % 256]))
        core.complete()

    response = run(example, native, script)
    assert response.status == 200
    assert response.body == bytes(i % 256 for i in range(150))


def test_fetch_raises_the_failure(example, native):
    with pytest.raises(RuntimeError, match=r"^Network \(Chromium net error -105\)$"):
        run(example, native, lambda core: core.complete(NETWORK, -105))
