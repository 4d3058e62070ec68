"""An asyncio event loop on a thread of its own, for the outputs whose drivers are asyncio servers or clients."""

from __future__ import annotations

import asyncio
import concurrent.futures
import threading
from collections.abc import Coroutine
from typing import Any


class LoopThread:
    """Runs coroutines on its loop from any other thread; `close` stops the loop and joins the thread."""

    def __init__(self, name: str) -> None:
        self.loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._run, name=name, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.run_forever()
        self.loop.close()

    def run(self, coro: Coroutine[Any, Any, Any], timeout: float) -> Any:
        """The coroutine's result; `TimeoutError` past `timeout` seconds (the coroutine is cancelled)."""
        future = asyncio.run_coroutine_threadsafe(coro, self.loop)
        try:
            return future.result(timeout)
        except concurrent.futures.TimeoutError:
            future.cancel()
            raise TimeoutError from None

    def close(self) -> None:
        if self.loop.is_closed():
            return
        self.loop.call_soon_threadsafe(self.loop.stop)
        self._thread.join(5.0)
