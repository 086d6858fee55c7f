"""Runs the lives of many boxes at once, each on its own clock.

A box's life is a generator: it yields Get (a request, whose Reply it is
sent back) or Pause (seconds to wait), and returns its result. Requests go
out on a bounded number of threads, `workers` at a time; a pause holds no
thread. So a box that is slow to answer or waits for its update script
holds back no other box: each box goes on as soon as its own reply is in
or its own pause is over."""

import heapq
import itertools
import queue
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass


@dataclass(frozen=True)
class Get:
    """A request to the box. With `guard`, a function that must return
    True right before the request goes out, or the life is sent None."""
    path: str
    guard: object = None


@dataclass(frozen=True)
class Pause:
    seconds: float


def run(lives, send, workers, failed, clock=time.monotonic, sleep=time.sleep):
    """Drives lives (name -> generator) to their end; send(name, path) makes
    a request. Returns each life's result by name; a life that raises
    gets failed(name, error) as its result."""
    results, ready, done = {}, [], queue.SimpleQueue()
    order = itertools.count()
    in_flight = 0
    for name in lives:
        heapq.heappush(ready, (clock(), next(order), name, None))

    def request(name, get):
        try:
            done.put((name, send(name, get.path) if get.guard is None or get.guard() else None))
        except Exception as error:  # handed to the life, which ends with it
            done.put((name, error))

    def step(name, value):
        life = lives[name]
        try:
            return life.throw(value) if isinstance(value, Exception) else life.send(value)
        except StopIteration as end:
            results[name] = end.value
        except Exception as error:
            results[name] = failed(name, error)
        return None

    with ThreadPoolExecutor(max_workers=max(1, int(workers))) as pool:
        while ready or in_flight:
            while ready and ready[0][0] <= clock():
                _, _, name, value = heapq.heappop(ready)
                action = step(name, value)
                if isinstance(action, Get):
                    pool.submit(request, name, action)
                    in_flight += 1
                elif isinstance(action, Pause):
                    heapq.heappush(ready, (clock() + max(0.0, action.seconds), next(order), name, None))
            timeout = max(0.0, ready[0][0] - clock()) if ready else None
            if not in_flight:
                sleep(timeout or 0)
                continue
            try:
                answered = [done.get(timeout=timeout)]
            except queue.Empty:
                continue
            while not done.empty():
                answered.append(done.get())
            for name, value in answered:
                in_flight -= 1
                heapq.heappush(ready, (clock(), next(order), name, value))
    return results
