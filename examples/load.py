"""Load run documents with the engine and report whether each is accepted.

Usage: python examples/load.py FILE.json [FILE.json ...]
Exits 0 when every document is accepted, 2 when one is refused.
"""

import json
import sys

import _ostrel


def main(paths: list[str]) -> int:
    refused = 0
    for path in paths:
        with open(path, encoding="utf-8") as f:
            text = f.read()
        try:
            engine = _ostrel.Engine(text)
        except ValueError as error:
            refused += 1
            print(f"{path}: refused: {error}")
            continue
        doc = json.loads(text)
        phases = ", ".join(
            f"{p['name']} ({p.get('duration') or 'until stopped'})" for p in doc["phases"]
        )
        proxies = ", ".join(
            f"{p['name']} {p['protocol']} {p['listen']} -> {p['upstream']}" for p in doc["proxies"]
        )
        print(f"{path}: accepted; alive={engine.alive()}")
        print(f"  proxies: {proxies}")
        print(f"  phases:  {phases}")
    return 2 if refused else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1:]))
