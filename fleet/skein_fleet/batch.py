"""Runs one function for many boxes at once, on a bounded number of threads:
each request mostly waits on the network, so a few dozen threads keep a
small controller's CPU busy without a process per box."""

from concurrent.futures import ThreadPoolExecutor


def for_each(function, items, workers):
    """[function(item) for item in items], `workers` calls at a time."""
    items = list(items)
    if not items:
        return []
    with ThreadPoolExecutor(max_workers=max(1, min(int(workers), len(items)))) as pool:
        return list(pool.map(function, items))
