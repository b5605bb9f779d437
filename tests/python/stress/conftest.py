"""Reliability tests under load. Each test reports its figures through the `figures` fixture;
they are attached to the test's report (`record_property`) and printed as one table at the end
of the run, whether or not pytest captures output."""

import pytest

_FIGURES = []  # (test id, {name: value}) in the order the tests finished


def pytest_configure(config):
    config.addinivalue_line("markers", "stress: reliability tests under load (pytest -m stress)")


class Figures:
    def __init__(self):
        self.values = {}

    def __setitem__(self, name, value):
        self.values[name] = value

    def __getitem__(self, name):
        return self.values[name]

    def update(self, **values):
        self.values.update(values)

    def line(self):
        def show(value):
            if isinstance(value, float):
                return f"{value:.3g}" if abs(value) < 1000 else f"{value:,.0f}"
            if isinstance(value, int) and not isinstance(value, bool):
                return f"{value:,}"
            return str(value)

        return " ".join(f"{name}={show(value)}" for name, value in self.values.items())


@pytest.fixture
def figures(request, record_property):
    collected = Figures()
    yield collected
    if collected.values:
        for name, value in collected.values.items():
            record_property(name, value)
        _FIGURES.append((request.node.nodeid.split("::", 1)[-1], collected))
        print(f"\n{request.node.name}: {collected.line()}")


def pytest_terminal_summary(terminalreporter):
    if not _FIGURES:
        return
    terminalreporter.section("stress figures")
    width = max(len(name) for name, _ in _FIGURES)
    for name, collected in _FIGURES:
        terminalreporter.write_line(f"{name:<{width}}  {collected.line()}")
