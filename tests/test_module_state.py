"""Every import of a module owns its objects: a second copy loaded from the
same file beside the first, and a copy imported in a subinterpreter, build
classes of their own, decode, fit and survey exactly as the first does, and
never hand out the other copy's classes. Each case runs in a fresh
interpreter so that the copies never meet the rest of the suite."""

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

# What one copy of each module delivers, as JSON, and the identities of the
# classes it handed out.
WORKLOAD = """
import json

def workload(packets, engine, autopos):
    frame = bytes.fromhex(%r)
    calls = []
    packet = packets.QZDWPacket(
        packets.Header(frame[:9]), frame,
        lambda src, anchor, reports: calls.append(
            [src, anchor, [[r.addr, r.dist] for r in reports]]))
    packet.callback()
    fitter = engine.PositionEngine(3)
    fitter.set_anchor_positions([engine.Position(0.0, 0.0, 0.0),
                                 engine.Position(10.0, 0.0, 0.0),
                                 engine.Position(0.0, 10.0, 0.0)])
    fit = fitter.compute_tag_position([7.07, 7.07, 7.07],
                                      engine.Position(1.0, 1.0, 0.0))
    survey = autopos.AutoPos(3)
    survey.compute([0, 3, 4, 3, 0, 5, 4, 5, 0])
    estimates = survey.get_position_estimates()
    return {
        "calls": calls,
        "fit": [fit.x, fit.y, fit.z],
        "survey": [[p.x, p.y, p.z] for p in estimates],
        "classes": {
            "Header": id(packets.Header),
            "report": id(type(packet.uwb_payload.reports[0])),
            "fit": id(type(fit)),
            "engine Position": id(engine.Position),
            "estimate": id(type(estimates[0])),
            "autopos Position": id(autopos.Position),
        },
    }
""" % FRAME.hex()

SECOND_COPY = WORKLOAD + """
import importlib.util, qz_autopos, qz_engine, qz_packets

def second_copy(module):
    spec = importlib.util.spec_from_file_location(module.__name__,
                                                  module.__file__)
    copy = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(copy)
    return copy

copies = [second_copy(m) for m in (qz_packets, qz_engine, qz_autopos)]
first = workload(qz_packets, qz_engine, qz_autopos)
second = workload(*copies)
distinct = [copy is not m and copy.__dict__ is not m.__dict__
            for copy, m in zip(copies, (qz_packets, qz_engine, qz_autopos))]
print(json.dumps({"first": first, "second": second, "distinct": distinct}))
"""


def run(code):
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def results_without_classes(outcome):
    return {key: value for key, value in outcome.items() if key != "classes"}


def test_the_copies_decode_fit_and_survey_alike():
    outcome = run(SECOND_COPY)
    assert outcome["distinct"] == [True, True, True]
    assert outcome["first"]["calls"] == [
        [0x1001, True, [[0x0A02, 1234], [0x0A03, 567]]]]
    assert (results_without_classes(outcome["first"])
            == results_without_classes(outcome["second"]))


types_name_their_module = pytest.mark.skipif(
    sys.version_info < (3, 9),
    reason="before 3.9 a type cannot name the module that made it, so the types of the last "
           "copy loaded share its state")


@types_name_their_module
def test_each_copy_hands_out_its_own_classes():
    outcome = run(SECOND_COPY)
    first, second = outcome["first"]["classes"], outcome["second"]["classes"]
    assert first["fit"] == first["engine Position"]
    assert first["estimate"] == first["autopos Position"]
    assert second["fit"] == second["engine Position"]
    assert second["estimate"] == second["autopos Position"]
    assert not set(first.values()) & set(second.values())


def subinterpreter_script(workload, imports, call):
    """Code that runs `call` of `workload` in a subinterpreter, which writes
    its outcome to the file named by OUTCOME_PATH, and in the main
    interpreter; it prints both. From 3.12 the subinterpreter refuses
    modules that lack multi-phase initialisation."""
    inner = workload + """
import os
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


SUBINTERPRETER = subinterpreter_script(
    WORKLOAD, "import qz_autopos, qz_engine, qz_packets",
    "workload(qz_packets, qz_engine, qz_autopos)")


def test_a_subinterpreter_imports_its_own_copies():
    pytest.importorskip("_testcapi", reason="the interpreter's test module "
                                            "runs the subinterpreter")
    outcome = run(SUBINTERPRETER)
    main, sub = outcome["main"], outcome["sub"]
    assert results_without_classes(main) == results_without_classes(sub)
    assert not set(main["classes"].values()) & set(sub["classes"].values())


# Loads a copy of each module, uses it, drops it and reports which of the
# classes its state held are still alive after a collection.
RELEASED = """
import gc, importlib.util, json, weakref
import qz_autopos, qz_engine, qz_packets

FRAME = bytes.fromhex(%r)

def second_copy(module):
    spec = importlib.util.spec_from_file_location(module.__name__,
                                                  module.__file__)
    copy = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(copy)
    return copy

def use(copy):
    if copy.__name__ == "qz_packets":
        copy.QZDWPacket(copy.Header(FRAME[:9]), FRAME,
                        lambda *message: None).callback()
        return ["Header", "UWBRangingReport", "QZDWPacket"]
    if copy.__name__ == "qz_engine":
        copy.PositionEngine(3).get_anchor_positions()
        return ["Position", "PositionEngine"]
    copy.AutoPos(3).get_position_estimates()
    return ["Position", "AutoPos"]

alive = {}
for module in (qz_packets, qz_engine, qz_autopos):
    copy = second_copy(module)
    refs = [weakref.ref(getattr(copy, name)) for name in use(copy)]
    del copy
    gc.collect()
    alive[module.__name__] = [ref() is not None for ref in refs]
print(json.dumps(alive))
""" % FRAME.hex()


@pytest.mark.skipif(sys.version_info < (3, 9),
                    reason="before 3.9 the interpreter keeps the last copy "
                           "of each module for its types to find")
def test_a_dropped_copy_is_collected_with_its_classes():
    assert run(RELEASED) == {"qz_packets": [False] * 3,
                             "qz_engine": [False] * 2,
                             "qz_autopos": [False] * 2}


# The same for qz_track: a filter built, seeded and updated by keyword (the
# interned parameter names live in the module state), a smoothing copied and
# one in place, and the refusal of an unknown keyword.
TRACK_WORKLOAD = """
import json

def track_workload(track):
    anchors = [(0.0, 0.0), (10.0, 0.0), (0.0, 10.0), (10.0, 10.0)]
    def ranges(x, y):
        return [((x - ax) ** 2 + (y - ay) ** 2) ** 0.5 for ax, ay in anchors]
    tag = track.TagFilter(anchors, sigma=0.05, max_gap=5.0)
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
    return {
        "fixes": [list(fix) for fix in fixes],
        "smoothed": [list(fix) for fix in smoothed],
        "in_place": list(in_place),
        "refusal": refusal,
        "classes": {"TagFilter": id(track.TagFilter),
                    "filter": id(type(tag))},
    }
"""

TRACK_SECOND_COPY = TRACK_WORKLOAD + """
import importlib.util, qz_track

spec = importlib.util.spec_from_file_location("qz_track", qz_track.__file__)
copy = importlib.util.module_from_spec(spec)
spec.loader.exec_module(copy)
print(json.dumps({"first": track_workload(qz_track),
                  "second": track_workload(copy),
                  "distinct": copy is not qz_track
                              and copy.__dict__ is not qz_track.__dict__}))
"""


def test_the_track_copies_filter_and_smooth_alike():
    outcome = run(TRACK_SECOND_COPY)
    first, second = outcome["first"], outcome["second"]
    assert outcome["distinct"]
    assert len(first["fixes"]) == 4 and None not in first["fixes"]
    assert len(first["smoothed"]) == 4
    assert first["in_place"][0::4] == [fix[0] for fix in first["smoothed"]]
    assert "speed" in first["refusal"]
    assert results_without_classes(first) == results_without_classes(second)


@types_name_their_module
def test_each_track_copy_has_its_own_filter_class():
    outcome = run(TRACK_SECOND_COPY)
    first, second = outcome["first"]["classes"], outcome["second"]["classes"]
    assert first["filter"] == first["TagFilter"]
    assert second["filter"] == second["TagFilter"]
    assert first["TagFilter"] != second["TagFilter"]


TRACK_SUBINTERPRETER = subinterpreter_script(
    TRACK_WORKLOAD, "import qz_track", "track_workload(qz_track)")


def test_a_subinterpreter_imports_its_own_track_copy():
    pytest.importorskip("_testcapi", reason="the interpreter's test module "
                                            "runs the subinterpreter")
    outcome = run(TRACK_SUBINTERPRETER)
    main, sub = outcome["main"], outcome["sub"]
    assert results_without_classes(main) == results_without_classes(sub)
    assert not set(main["classes"].values()) & set(sub["classes"].values())


# A filter keeps working, by keyword too, once the module object that made
# it is gone from sys.modules and collected.
TRACK_ORPHAN = TRACK_WORKLOAD + """
import gc, sys
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


TRACK_RELEASED = """
import gc, importlib.util, json, weakref
import qz_track

spec = importlib.util.spec_from_file_location("qz_track", qz_track.__file__)
copy = importlib.util.module_from_spec(spec)
spec.loader.exec_module(copy)
tag = copy.TagFilter([(0.0, 0.0), (10.0, 0.0), (0.0, 10.0)])
tag.seed(time=0.0, x=3.0, y=4.0, distances=[5.0, 8.0623, 6.7082])
copy.smooth([], [], [], [], [], 0.2)
refs = [weakref.ref(copy.TagFilter), weakref.ref(copy)]
del copy, tag
gc.collect()
print(json.dumps([ref() is not None for ref in refs]))
"""


@pytest.mark.skipif(sys.version_info < (3, 9),
                    reason="before 3.9 the interpreter keeps the last copy "
                           "of each module for its types to find")
def test_a_dropped_track_copy_is_collected_with_its_class():
    assert run(TRACK_RELEASED) == [False, False]
