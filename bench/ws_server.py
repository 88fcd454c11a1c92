"""WebSocket echo server for the benchmarks: every message goes back as it
came. Compression is off so that every client moves the same bytes.
Run: python ws_server.py PORT"""

import asyncio
import sys

from websockets.asyncio.server import serve


async def echo(connection):
    async for message in connection:
        await connection.send(message)


async def main(port):
    async with serve(echo, "127.0.0.1", port, compression=None, max_size=None,
                     max_queue=64, write_limit=8 * 1024 * 1024) as server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1])))
