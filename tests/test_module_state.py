"""Every import of a module owns its objects: a second copy loaded from the
same file beside the first, and a copy imported in a subinterpreter, build
classes of their own, decode, fit, survey and track exactly as the first
does, never hand out the other copy's classes, and are collected with their
classes once dropped. Each case runs for each module in a fresh interpreter,
so that the copies never meet the rest of the suite."""

import json
import sys

import pytest

import frame_encoder as enc
from conftest import run_python

FRAME = enc.frame(
    enc.ranging_message(flags=1, reports=[
        {"flags": 0, "addr": 0x0A02, "ts": 7, "dist": 1234},
        {"flags": 0, "addr": 0x0A03, "ts": 9, "dist": 567},
    ]),
    uwb_header={"src_addr": 0x1001}, uwb_params={"type": 16})

# workload(module) of each module: what one copy delivers ("results", as
# JSON), the identities of the classes it handed out ("classes"), and the
# pairs of those that must be one class ("same").
WORKLOADS = {
    "qz_packets": """
def workload(packets):
    frame = bytes.fromhex(%r)
    calls = []
    packet = packets.QZDWPacket(
        packets.Header(frame[:9]), frame,
        lambda src, anchor, reports: calls.append(
            [src, anchor, [[r.addr, r.dist] for r in reports]]))
    packet.callback()
    return {"results": calls,
            "classes": {"Header": id(packets.Header),
                        "report": id(type(packet.uwb_payload.reports[0])),
                        "UWBRangingReport": id(packets.UWBRangingReport)},
            "same": [["report", "UWBRangingReport"]]}
""" % FRAME.hex(),
    "qz_engine": """
def workload(engine):
    fitter = engine.PositionEngine(3)
    fitter.set_anchor_positions([engine.Position(0.0, 0.0, 0.0),
                                 engine.Position(10.0, 0.0, 0.0),
                                 engine.Position(0.0, 10.0, 0.0)])
    fit = fitter.compute_tag_position([7.07, 7.07, 7.07],
                                      engine.Position(1.0, 1.0, 0.0))
    return {"results": [fit.x, fit.y, fit.z],
            "classes": {"fit": id(type(fit)), "Position": id(engine.Position),
                        "PositionEngine": id(engine.PositionEngine)},
            "same": [["fit", "Position"]]}
""",
    "qz_autopos": """
def workload(autopos):
    survey = autopos.AutoPos(3)
    survey.compute([0, 3, 4, 3, 0, 5, 4, 5, 0])
    estimates = survey.get_position_estimates()
    return {"results": [[p.x, p.y, p.z] for p in estimates],
            "classes": {"estimate": id(type(estimates[0])),
                        "Position": id(autopos.Position),
                        "AutoPos": id(autopos.AutoPos)},
            "same": [["estimate", "Position"]]}
""",
    # seeded, updated and smoothed (copied and in place) by keyword: the
    # interned parameter names live in the module state
    "qz_track": """
def workload(track):
    anchors = [(0.0, 0.0), (10.0, 0.0), (0.0, 10.0), (10.0, 10.0)]
    def ranges(x, y):
        return [((x - ax) ** 2 + (y - ay) ** 2) ** 0.5 for ax, ay in anchors]
    tag = track.TagFilter(anchors)
    fixes = [tag.seed(time=0.0, x=4.0, y=5.0, distances=ranges(4.0, 5.0))]
    times, states, covariances, growths = [0.0], [list(tag.state)], [], []
    covariances.append(list(tag.covariance))
    growths.append(tag.growth)
    for step in range(1, 4):
        x = 4.0 + 0.5 * step
        fixes.append(tag.update(time=0.5 * step, distances=ranges(x, 5.0)))
        times.append(tag.time)
        states.append(list(tag.state))
        covariances.append(list(tag.covariance))
        growths.append(tag.growth)
    flat = lambda rows: [value for row in rows for value in row]
    smoothed = track.smooth(times=times, states=flat(states),
                            covariances=flat(covariances),
                            starts=[True] + [False] * 3, growths=growths,
                            process_noise=tag.process_noise)
    from array import array
    upper = [4 * i + j for i in range(4) for j in range(i, 4)]
    in_place = array("d", flat(states))
    track.smooth_in_place(times=array("d", times), states=in_place,
                          covariances=array("d", [c[e] for c in covariances
                                                  for e in upper]),
                          starts=bytes([1, 0, 0, 0]), growths=array("d", growths),
                          process_noise=tag.process_noise)
    try:
        tag.update(time=5.0, distances=ranges(4.0, 5.0), speed=1.0)
        refusal = None
    except TypeError as error:
        refusal = str(error)
    return {"results": {"fixes": [list(fix) for fix in fixes],
                        "smoothed": [list(fix) for fix in smoothed],
                        "in_place": list(in_place),
                        "refusal": refusal},
            "classes": {"filter": id(type(tag)), "TagFilter": id(track.TagFilter)},
            "same": [["filter", "TagFilter"]]}
""",
}
MODULES = pytest.mark.parametrize("module", sorted(WORKLOADS))


def check_packets(results):
    assert results == [[0x1001, True, [[0x0A02, 1234], [0x0A03, 567]]]]


def check_track(results):
    assert len(results["fixes"]) == 4 and None not in results["fixes"]
    assert len(results["smoothed"]) == 4
    assert results["in_place"][0::4] == [fix[0] for fix in results["smoothed"]]
    assert "speed" in results["refusal"]


# What the first copy's results must be, beyond the second copy's equal.
CHECKS = {"qz_packets": check_packets, "qz_track": check_track}

SECOND_COPY = """
import importlib.util, json
import {module} as first
{workload}
spec = importlib.util.spec_from_file_location(first.__name__, first.__file__)
copy = importlib.util.module_from_spec(spec)
spec.loader.exec_module(copy)
print(json.dumps({{"first": workload(first), "second": workload(copy),
                  "distinct": copy is not first and copy.__dict__ is not first.__dict__}}))
"""


def run(code):
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def second_copy(module):
    return run(SECOND_COPY.format(module=module, workload=WORKLOADS[module]))


@MODULES
def test_the_copies_work_alike(module):
    outcome = second_copy(module)
    assert outcome["distinct"]
    CHECKS.get(module, lambda results: None)(outcome["first"]["results"])
    assert outcome["first"]["results"] == outcome["second"]["results"]


types_name_their_module = pytest.mark.skipif(
    sys.version_info < (3, 9),
    reason="before 3.9 a type cannot name the module that made it, so the types of the last "
           "copy loaded share its state")


@types_name_their_module
@MODULES
def test_each_copy_hands_out_its_own_classes(module):
    outcome = second_copy(module)
    first, second = outcome["first"], outcome["second"]
    for copy in (first, second):
        for one, other in copy["same"]:
            assert copy["classes"][one] == copy["classes"][other], (one, other)
    assert not set(first["classes"].values()) & set(second["classes"].values())


def subinterpreter_script(workload, imports, call):
    """Code that runs `call` of `workload` in a subinterpreter, which writes
    its outcome to the file named by OUTCOME_PATH, and in the main
    interpreter; it prints both. From 3.12 the subinterpreter refuses
    modules that lack multi-phase initialisation."""
    inner = workload + """
import json, os
%s
with open(os.environ["OUTCOME_PATH"], "w") as out:
    json.dump(%s, out)
""" % (imports, call)
    return workload + """
import json, os, sys, tempfile
%s

os.environ["OUTCOME_PATH"] = os.path.join(tempfile.mkdtemp(), "outcome.json")
code = %r
if sys.version_info >= (3, 13):
    import _interpreters
    config = _interpreters.new_config("legacy")
    config.check_multi_interp_extensions = True
    interpreter = _interpreters.create(config)
    failure = _interpreters.exec(interpreter, code)
    _interpreters.destroy(interpreter)
    assert failure is None, failure
elif sys.version_info >= (3, 12):
    import _testcapi
    assert _testcapi.run_in_subinterp_with_config(
        code, use_main_obmalloc=True, allow_fork=True, allow_exec=True,
        allow_threads=True, allow_daemon_threads=True,
        check_multi_interp_extensions=True, gil=1) == 0
else:
    import _testcapi
    assert _testcapi.run_in_subinterp(code) == 0
with open(os.environ["OUTCOME_PATH"]) as result:
    inner = json.load(result)
print(json.dumps({"main": %s, "sub": inner}))
""" % (imports, inner, call)


@MODULES
def test_a_subinterpreter_imports_its_own_copy(module):
    pytest.importorskip("_testcapi", reason="the interpreter's test module "
                                            "runs the subinterpreter")
    outcome = run(subinterpreter_script(WORKLOADS[module], "import " + module,
                                        "workload(%s)" % module))
    main, sub = outcome["main"], outcome["sub"]
    assert main["results"] == sub["results"]
    assert not set(main["classes"].values()) & set(sub["classes"].values())


# The classes that each module's state holds.
STATE_CLASSES = {"qz_packets": ["Header", "UWBRangingReport", "QZDWPacket"],
                 "qz_engine": ["Position", "PositionEngine"],
                 "qz_autopos": ["Position", "AutoPos"],
                 "qz_track": ["TagFilter"]}

# Loads a copy of the module, uses it, drops it and reports which of the
# classes its state held, and the copy itself, are still alive after a
# collection.
RELEASED = """
import gc, importlib.util, json, weakref
import {module} as first
{workload}
spec = importlib.util.spec_from_file_location(first.__name__, first.__file__)
copy = importlib.util.module_from_spec(spec)
spec.loader.exec_module(copy)
workload(copy)
refs = [weakref.ref(getattr(copy, name)) for name in {names!r}] + [weakref.ref(copy)]
del copy
gc.collect()
print(json.dumps([ref() is not None for ref in refs]))
"""


@pytest.mark.skipif(sys.version_info < (3, 9),
                    reason="before 3.9 the interpreter keeps the last copy "
                           "of each module for its types to find")
@MODULES
def test_a_dropped_copy_is_collected_with_its_classes(module):
    names = STATE_CLASSES[module]
    assert run(RELEASED.format(module=module, workload=WORKLOADS[module], names=names)) == \
        [False] * (len(names) + 1)


# A filter keeps working, by keyword too, once the module object that made
# it is gone from sys.modules and collected.
TRACK_ORPHAN = """
import gc, json, sys
import qz_track

tag = qz_track.TagFilter([(0.0, 0.0), (10.0, 0.0), (0.0, 10.0)])
seeded = tag.seed(time=0.0, x=3.0, y=4.0, distances=[5.0, 8.0623, 6.7082])
del sys.modules["qz_track"], qz_track
gc.collect()
fix = tag.update(time=0.1, distances=[5.0, 8.0623, 6.7082])
print(json.dumps({"seeded": list(seeded), "fix": list(fix)}))
"""


def test_a_filter_outlives_its_module_object():
    outcome = run(TRACK_ORPHAN)
    assert outcome["fix"][:2] == pytest.approx([3.0, 4.0], abs=0.01)
