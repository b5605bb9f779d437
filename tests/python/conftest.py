import json

import pytest

# A complete run document: a TCP proxy "database", a UDP proxy "resolver" and four phases.
RUN_TEXT = """{
  "schema_version": 1,
  "name": "checkout-degradation",
  "proxies": [
    {"name": "database", "protocol": "tcp", "listen": "127.0.0.1:15432", "upstream": "database:5432"},
    {"name": "resolver", "protocol": "udp", "listen": "127.0.0.1:15353", "upstream": "10.0.0.2:53"}
  ],
  "phases": [
    {"name": "baseline", "duration": "30s", "proxies": []},
    {"name": "slow-database", "duration": "2m 30s", "proxies": [
      {"proxy": "database", "faults": [
        {"type": "latency", "flow": "to-client",
         "distribution": {"type": "normal", "mean_ms": 120, "stddev_ms": 15}},
        {"type": "jitter", "flow": "both", "min_delay_ms": 5, "max_delay_ms": 40.5, "probability": 0.25},
        {"type": "bandwidth", "flow": "to-upstream", "bytes_per_second": 65536}
      ]},
      {"proxy": "resolver", "faults": [{"type": "dns", "case": "delay", "delay_ms": 500}]}
    ]},
    {"name": "outage", "duration": "10s", "proxies": [
      {"proxy": "database", "faults": [
        {"type": "blackhole", "flow": "to-client"},
        {"type": "connection-reset", "flow": "both", "probability": 0.5}
      ]}
    ]},
    {"name": "recovery", "proxies": []}
  ]
}"""


@pytest.fixture
def run_text():
    return RUN_TEXT


@pytest.fixture
def run_document():
    """The run document as a fresh dict, for a test to change."""
    return json.loads(RUN_TEXT)
