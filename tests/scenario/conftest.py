import os
import sys
from pathlib import Path

import pytest
from _pytest.runner import runtestprotocol

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "rig"))
import harness  # noqa: E402


@pytest.fixture(scope="session")
def rig():
    rig = harness.Rig()
    try:
        rig.start()
    except harness.RigError as error:
        rig.stop()
        pytest.fail(f"scenario rig not ready: {error}", pytrace=False)
    yield rig
    rig.stop()


@pytest.fixture
def scenario(rig, request):
    """Makes the test's scenario: scenario(family="nt"|"9x", language="en"|"ja",
    time_limit=seconds); it is ended with the test."""
    made = []

    def make(**settings):
        made.append(rig.scenario(request.node.name, **settings))
        return made[-1]
    yield make
    report = getattr(request.node, "rep_call", None)
    for scn in made:
        if report is not None and report.failed:
            for name, tail in scn.stderr_tails().items():
                print(f"--- {name}:\n{tail}")
            request.node.emulator_crashed = scn.emulator_crashed()
        scn.close()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)


def pytest_runtest_protocol(item, nextitem):
    """Under CPU emulation a scenario whose failure came with a crash of the
    emulator itself (qemu 7.2 mixes up threads' segment registers now and
    then) runs once more; its first run is reported as such, not hidden."""
    if os.environ.get("DISCMEND_EMULATED") != "1":
        return None
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    reports = runtestprotocol(item, nextitem=nextitem, log=False)
    if any(r.failed for r in reports) and getattr(item, "emulator_crashed", False):
        print(f"\n{item.nodeid}: the emulator crashed; running the scenario once more")
        item.emulator_crashed = False
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True
