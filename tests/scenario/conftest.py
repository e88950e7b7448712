import json

import pytest

import harness

DEFAULT_TIME_LIMIT = 60


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


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "report_" + report.when, report)


@pytest.fixture
def scenario(rig, request, tmp_path):
    """A fresh scenario (prefix copy, own wineserver); ended after the test.
    Time limit: @pytest.mark.time_limit(SECONDS), else 60 s."""
    marker = request.node.get_closest_marker("time_limit")
    limit = marker.args[0] if marker else DEFAULT_TIME_LIMIT
    scn = rig.new_scenario(request.node.name, tmp_path, limit)
    yield scn
    failed = getattr(request.node, "report_call", None)
    if failed is not None and failed.failed and scn.server_started and not scn.closed:
        try:
            scn.screenshot("failure")
            shown = scn.robot("list", check=False)
            (tmp_path / "windows.json").write_text(json.dumps(shown, indent=1))
        except Exception as error:  # the report of a failure must not hide it
            (tmp_path / "windows.json").write_text(f"could not list windows: {error}")
    scn.close()
