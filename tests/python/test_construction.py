import inspect
import json
import re
import subprocess
import sys
import sysconfig
import time

import pytest

import _ostrel

POSITION = re.compile(r" at line [1-9][0-9]* column [0-9]+\Z")

DB = {"name": "db", "protocol": "tcp", "listen": "127.0.0.1:0", "upstream": "127.0.0.1:1"}


def compact(value):
    return json.dumps(value, separators=(",", ":"))


def run(proxies=(DB,), phases=None, schema_version=1):
    if phases is None:
        phases = [{"name": "p", "proxies": []}]
    return compact(
        {"schema_version": schema_version, "name": "n", "proxies": list(proxies), "phases": phases}
    )


def with_faults(*faults):
    """One proxy "db" and one phase that gives it `faults`."""
    return run(phases=[{"name": "p", "proxies": [{"proxy": "db", "faults": list(faults)}]}])


def jitter(min_delay_ms=5, max_delay_ms=10, probability=0.5):
    return {
        "type": "jitter",
        "flow": "both",
        "min_delay_ms": min_delay_ms,
        "max_delay_ms": max_delay_ms,
        "probability": probability,
    }


def test_valid_document_makes_an_idle_engine(run_text):
    began = time.monotonic()
    engine = _ostrel.Engine(run_text)
    assert time.monotonic() - began < 1.0
    assert engine.alive() is False
    with pytest.raises(RuntimeError) as caught:
        engine.endpoints()
    assert type(caught.value) is RuntimeError
    assert caught.value.args == ("the engine has not been started",)
    assert engine.summary() is None


@pytest.mark.parametrize("event_capacity", [None, 1, 1024, 2**63 - 1])
def test_every_positive_capacity_is_accepted(run_text, event_capacity):
    assert _ostrel.Engine(run_text, event_capacity).alive() is False
    assert _ostrel.Engine(event_capacity=event_capacity, config_json=run_text).alive() is False


# Every way a document or capacity is refused, with the whole message. Reader texts end with the
# position of the offending character.
REFUSALS = [
    ("capacity-zero", run(), 0, "event_capacity must be at least 1"),
    ("capacity-negative", run(), -5, "event_capacity must be at least 1"),
    # The capacity is looked at before the document is read.
    ("capacity-before-document", "{", -5, "event_capacity must be at least 1"),
    ("capacity-lowest", "not json", -(2**63), "event_capacity must be at least 1"),
    ("empty", "", None, "EOF while parsing a value at line 1 column 0"),
    (
        "missing-protocol",
        '{"schema_version":1,"name":"n","proxies":[{"name":"db","listen":"127.0.0.1:0",'
        '"upstream":"127.0.0.1:1"}],"phases":[]}',
        None,
        "missing field `protocol` at line 1 column 103",
    ),
    ("missing-first-field", "{}", None, "missing field `schema_version` at line 1 column 2"),
    (
        "unknown-field",
        '{"schema_version":1,"colour":"red"}',
        None,
        "unknown field `colour`, expected one of `schema_version`, `name`, `proxies`, `phases`"
        " at line 1 column 28",
    ),
    (
        "unknown-field-before-version",
        '{"schema_version":2,"colour":"red"}',
        None,
        "unknown field `colour`, expected one of `schema_version`, `name`, `proxies`, `phases`"
        " at line 1 column 28",
    ),
    (
        "duplicate-field",
        '{"schema_version":1,"schema_version":1}',
        None,
        "duplicate field `schema_version` at line 1 column 36",
    ),
    (
        "float-version",
        '{"schema_version":1.5}',
        None,
        "invalid type: floating point `1.5`, expected u32 at line 1 column 21",
    ),
    (
        "short-array",
        '[1,"n"]',
        None,
        "invalid length 2, expected struct Run with 4 elements at line 1 column 7",
    ),
    (
        "unknown-fault",
        '{"schema_version":1,"name":"n","proxies":[],"phases":[{"name":"p","proxies":'
        '[{"proxy":"db","faults":[{"type":"teleport"}]}]}]}',
        None,
        "unknown variant `teleport`, expected one of `latency`, `jitter`, `bandwidth`,"
        " `blackhole`, `connection-reset`, `dns` at line 1 column 119",
    ),
    (
        "zero-duration",
        '{"schema_version":1,"name":"n","proxies":[],\n"phases":[{"name":"p","duration":"0s",'
        '"proxies":[]}]}',
        None,
        "expected number at 0 at line 2 column 37",
    ),
    (
        "trailing-characters",
        run() + "\n x",
        None,
        "trailing characters at line 2 column 2",
    ),
    # Only a NUL after the document: the whole text reaches the reader, not a C string of it.
    ("trailing-nul", run() + "\x00", None, "trailing characters at line 1 column 160"),
    (
        "schema-version-2",
        '{"schema_version":2,"name":"n","proxies":[],"phases":[]}',
        None,
        "schema version mismatch: expected 1, got 2",
    ),
    (
        "no-proxies",
        run(proxies=[], phases=[]),
        None,
        "proxies: at least one proxy is required. Add a proxy with a listen address and an"
        " upstream address.",
    ),
    (
        "duplicate-proxy",
        run(proxies=[DB, dict(DB, protocol="udp")]),
        None,
        'proxies[1].name: proxy name "db" is duplicated. Give every proxy a unique name.',
    ),
    (
        "undefined-proxy",
        run(phases=[{"name": "p", "proxies": [{"proxy": "cache", "faults": []}]}]),
        None,
        'phases[0].proxies[0].proxy: proxy "cache" is not defined. Use the name of a proxy'
        " declared in the run.",
    ),
    (
        "indefinite-phase-not-last",
        run(phases=[{"name": "a", "proxies": []}, {"name": "b", "proxies": []}]),
        None,
        "phases[0].duration: an indefinite phase makes later phases unreachable. Give this phase"
        " a duration or make it the final phase.",
    ),
    (
        "jitter-range",
        with_faults(jitter(min_delay_ms=50, max_delay_ms=10)),
        16,
        "phases[0].proxies[0].faults[0]: minimum delay 50ms is greater than maximum delay 10ms."
        " Make min_delay_ms less than or equal to max_delay_ms.",
    ),
    (
        "probability",
        with_faults({"type": "connection-reset", "flow": "both", "probability": 1.5}),
        None,
        "phases[0].proxies[0].faults[0].probability: probability must be between 0 and 1;"
        " received 1.5. Use a decimal such as 0.75 for a 75% probability.",
    ),
    (
        "zero-stddev",
        with_faults(
            {
                "type": "latency",
                "flow": "to-client",
                "distribution": {"type": "normal", "mean_ms": 0, "stddev_ms": 0},
            }
        ),
        None,
        "phases[0].proxies[0].faults[0].distribution.stddev_ms: value must be a finite number"
        " greater than zero; received 0. Choose a positive value appropriate for the"
        " distribution.",
    ),
]


@pytest.mark.parametrize(
    "document, event_capacity, message",
    [case[1:] for case in REFUSALS],
    ids=[case[0] for case in REFUSALS],
)
def test_refusal_is_a_value_error_with_the_exact_text(document, event_capacity, message):
    with pytest.raises(ValueError) as caught:
        _ostrel.Engine(document, event_capacity=event_capacity)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


def nested_fault_field(depth):
    fault = compact({"type": "blackhole", "flow": "both", "x": None})
    return with_faults().replace("[]}]}]", "[" + fault.replace("null", "[" * depth) + "]}]}]")


TEN_MB = 10 * 1024 * 1024

# Hostile documents: each is refused by the reader, which says where.
HOSTILE = {
    "nested-at-top-level": "[" * 100_000,
    "nested-objects-at-top-level": '{"a":' * 100_000,
    "nested-in-fault-field": nested_fault_field(100_000),
    "nested-in-unknown-run-field": '{"schema_version":1,"x":' + "[" * 100_000,
    "nested-in-name": '{"schema_version":1,"name":' + "[" * 100_000,
    "ten-mb-name-then-unknown-field": run().replace('"name":"n"', '"name":"' + "n" * TEN_MB + '"')[
        :-1
    ]
    + ',"extra":1}',
    "ten-mb-of-white-space": " " * TEN_MB + "{",
    "nul-inside-string": run().replace('"name":"n"', '"name":"a\x00b"'),
    "nul-between-tokens": run().replace(',"name"', ',\x00"name"'),
    "lone-surrogate-escape": run().replace('"name":"n"', '"name":"\\ud800"'),
    "bad-escape": run().replace('"name":"n"', '"name":"\\q"'),
    "unterminated-string": '{"schema_version":1,"name":"n',
    "long-integer-version": '{"schema_version":1' + "0" * 100_000 + "}",
    "long-integer-capacity": with_faults(
        {"type": "bandwidth", "flow": "both", "bytes_per_second": 0}
    ).replace('"bytes_per_second":0', '"bytes_per_second":1' + "0" * 100_000),
    "long-fraction": with_faults(jitter()).replace(
        '"probability":0.5', '"probability":0.' + "5" * 100_000 + "e400"
    ),
    "huge-double": with_faults(jitter()).replace('"max_delay_ms":10', '"max_delay_ms":1e400'),
    "huge-double-in-distribution": with_faults(
        {
            "type": "latency",
            "flow": "both",
            "distribution": {"type": "uniform", "min_ms": 0, "max_ms": 1},
        }
    ).replace('"max_ms":1', '"max_ms":-1e400'),
}


@pytest.mark.parametrize("document", list(HOSTILE.values()), ids=list(HOSTILE))
def test_hostile_document_is_refused_with_a_position(document):
    with pytest.raises(ValueError) as caught:
        _ostrel.Engine(document)
    assert type(caught.value) is ValueError
    (message,) = caught.value.args
    assert POSITION.search(message), message[:300]


def test_ten_megabyte_document_is_accepted(run_document):
    run_document["name"] = "n" * TEN_MB
    run_document["proxies"][0]["name"] = "d\x00b"  # written as \u0000
    run_document["phases"][1]["proxies"][0]["proxy"] = "d\x00b"
    run_document["phases"][2]["proxies"][0]["proxy"] = "d\x00b"
    engine = _ostrel.Engine(json.dumps(run_document))
    assert engine.alive() is False


def test_lone_surrogate_cannot_be_encoded():
    with pytest.raises(UnicodeEncodeError) as caught:
        _ostrel.Engine(run().replace('"name":"n"', '"name":"\ud800"'))
    assert isinstance(caught.value, ValueError)
    assert "surrogates not allowed" in str(caught.value)


# Argument conversion fails before the facade sees anything, so even a broken document gives
# the conversion's error.
ARGUMENT_ERRORS = [
    ("capacity-too-large", ("{",), {"event_capacity": 2**63}, OverflowError),
    ("capacity-too-small", ("{",), {"event_capacity": -(2**63) - 1}, OverflowError),
    ("capacity-str", ("{",), {"event_capacity": "3"}, TypeError),
    ("capacity-float", ("{",), {"event_capacity": 1.5}, TypeError),
    ("capacity-positional-float", ("{", 2.0), {}, TypeError),
    ("config-bytes", (b"{}",), {}, TypeError),
    ("config-none", (None,), {}, TypeError),
    ("config-keyword-bytes", (), {"config_json": b"{}"}, TypeError),
    ("unknown-keyword", ("{",), {"capacity": 3}, TypeError),
    ("missing-config", (), {}, TypeError),
    ("missing-config-with-capacity", (), {"event_capacity": 3}, TypeError),
    ("config-twice", ("{",), {"config_json": "{"}, TypeError),
    ("too-many-arguments", ("{", 3, 4), {}, TypeError),
]


@pytest.mark.parametrize(
    "args, kwargs, error",
    [case[1:] for case in ARGUMENT_ERRORS],
    ids=[case[0] for case in ARGUMENT_ERRORS],
)
def test_argument_conversion_errors(args, kwargs, error):
    with pytest.raises(error) as caught:
        _ostrel.Engine(*args, **kwargs)
    assert type(caught.value) is error


def test_phase_state_error_is_a_runtime_error():
    error = _ostrel.PhaseStateError
    assert issubclass(error, RuntimeError)
    assert error.__bases__ == (RuntimeError,)
    assert f"{error.__module__}.{error.__qualname__}" == "_ostrel.PhaseStateError"
    assert error.__doc__ is None
    assert error("phase x is not running").args == ("phase x is not running",)


def test_module_shows_its_two_names():
    assert _ostrel.__doc__ == ""
    assert sorted(name for name in vars(_ostrel) if not name.startswith("_")) == [
        "Engine",
        "PhaseStateError",
    ]


def test_class_docstring_and_signature():
    engine_class = _ostrel.Engine
    assert engine_class.__doc__ == (
        "Native engine; every method forwards to [`ostrel_binding::Engine`]."
    )
    assert engine_class.__text_signature__ == "(config_json, event_capacity=None)"
    assert str(inspect.signature(engine_class)) == "(config_json, event_capacity=None)"
    assert f"{engine_class.__module__}.{engine_class.__qualname__}" == "_ostrel.Engine"


# Every method, in the order of the class, with its text signature.
METHODS = [
    ("alive", "($self)"),
    ("endpoints", "($self)"),
    ("summary", "($self)"),
    ("start", "($self)"),
    ("set_faults", "($self, proxy, faults_json)"),
    ("run", "($self)"),
    ("status", "($self)"),
    ("snapshot", "($self)"),
    ("active_faults", "($self)"),
    ("next_progress", "($self)"),
    ("next_record", "($self)"),
    ("next_event", "($self, status_interval=None)"),
    ("shutdown", "($self)"),
    ("begin_schedule", "($self)"),
    ("schedule_active", "($self)"),
    ("end_schedule", "($self)"),
    ("schedule_add_phase", "($self, name, duration, faults_json)"),
    ("schedule_modify_phase", "($self, id, name, duration, faults_json)"),
    ("schedule_delete_phase", "($self, id)"),
    ("schedule_start_phase", "($self, id)"),
    ("schedule_stop_phase", "($self, id)"),
    ("schedule_move_phase", "($self, id, position)"),
    ("schedule_next_transition", "($self)"),
]


def test_methods_are_signatures_alone_in_table_order():
    engine_class = _ostrel.Engine
    methods = [name for name in vars(engine_class) if not name.startswith("_")]
    assert methods == [name for name, _ in METHODS]
    for name, signature in METHODS:
        method = getattr(engine_class, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ is None, name
    assert str(inspect.signature(engine_class.alive)) == "(self, /)"
    assert str(inspect.signature(engine_class.next_event)) == "(self, /, status_interval=None)"


def test_instances_have_no_attributes_of_their_own(run_text):
    engine = _ostrel.Engine(run_text)
    with pytest.raises(AttributeError):
        engine.extra = 1
    with pytest.raises(TypeError):

        class Derived(_ostrel.Engine):
            pass


@pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    reason="free-threaded builds do not count type references in ob_refcnt",
)
def test_instances_hold_and_release_their_class(run_text):
    engine_class = _ostrel.Engine
    before = sys.getrefcount(engine_class)
    engines = [engine_class(run_text) for _ in range(100)]
    assert sys.getrefcount(engine_class) == before + 100
    for _ in range(100):
        with pytest.raises(ValueError):
            engine_class("{")
    del engines
    assert sys.getrefcount(engine_class) == before


def test_reimport_keeps_the_same_classes():
    # Run apart: dropping the module from sys.modules would disturb the other tests.
    script = (
        "import sys, importlib, _ostrel\n"
        "engine_class, error = _ostrel.Engine, _ostrel.PhaseStateError\n"
        "del sys.modules['_ostrel']\n"
        "again = importlib.import_module('_ostrel')\n"
        "assert again is not _ostrel\n"
        "assert again.Engine is engine_class and again.PhaseStateError is error\n"
        "print('ok')\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
