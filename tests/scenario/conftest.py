import pytest

import harness


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
    for scn in made:
        if request.node.rep_call.failed if hasattr(request.node, "rep_call") else False:
            try:
                print("windows at the failure:", scn.windows())
            except Exception as error:  # the report must not hide the failure
                print("windows at the failure: unknown,", error)
        scn.close()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)
