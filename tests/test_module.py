"""The module frame: function objects, argument binding, late binding,
unpacking, traceback entries and start-up."""
import builtins
import gc
import importlib
import inspect
import os
import pickle
import subprocess
import sys
import textwrap
import traceback
import weakref

import cv2
import numpy as np
import pytest

import qel_cv
from conftest import skip_if_sanitized, skip_unless_build_tree

BUILD = os.path.dirname(qel_cv.__file__)

# Every public name in binding order, after the start-up imports.
ALIASES = ["_np", "_cv", "_math", "_List", "_Union", "_Tuple", "_Sequence", "_Optional", "_Callable",
           "_maxsize", "_leastsq"]
PUBLIC = [
    "FittingCircle", "CirclePeeler", "take_middle", "take_min_or_max", "take_min", "take_max",
    "template_match_point", "get_max_area_contour", "extract_poly", "rotate_to_make_edge_horizontal",
    "_collect_contour_points_equal_x", "_get_points_equal_x", "_calculate_max_vertical_distance",
    "calculate_contour_vertical_distances", "compare_image_difference", "translate", "translate_and_rotate",
    "NGRegion", "CompareResult", "contour_is_too_long", "contour_is_too_big", "ShiftComparator",
    "bounding_rect_top", "find_barcode_contours", "fill_threshold", "find_rotate_degree", "rotate_correcting",
    "cmp_rect_after_rotate_correcting", "shift_compare_barcode", "contour_to_point_list",
    "extract_center_contours",
]


def run_python(code, *flags):
    """Run code in a fresh interpreter that imports this checkout's build."""
    env = dict(os.environ, PYTHONPATH=BUILD)
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.fixture
def grey():
    return np.full((100, 100), 7, np.uint8)


# --- namespace and start-up ---------------------------------------------------

def test_namespace_order():
    names = list(vars(qel_cv))
    assert names[:7] == ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
                         "__builtins__"]
    assert names[7:7 + len(ALIASES)] == ALIASES
    assert names[-1] == "__test__" and qel_cv.__test__ == {}
    assert names[7 + len(ALIASES):-1] == PUBLIC
    assert qel_cv.__doc__ is None
    assert qel_cv.__builtins__ is builtins


def test_aliases_are_the_libraries():
    import math, typing, scipy.optimize
    assert qel_cv._np is np and qel_cv._cv is cv2 and qel_cv._math is math
    assert (qel_cv._List, qel_cv._Union, qel_cv._Tuple, qel_cv._Sequence) == (
        typing.List, typing.Union, typing.Tuple, typing.Sequence)
    assert (qel_cv._Optional, qel_cv._Callable) == (typing.Optional, typing.Callable)
    assert qel_cv._maxsize == sys.maxsize and qel_cv._leastsq is scipy.optimize.leastsq


def test_reimport_and_reload_keep_the_one_module(monkeypatch):
    monkeypatch.setattr(qel_cv, "extra_name", 1, raising=False)
    assert importlib.reload(qel_cv) is qel_cv
    assert qel_cv.extra_name == 1
    monkeypatch.delitem(sys.modules, "qel_cv")
    again = importlib.import_module("qel_cv")
    assert again is qel_cv


def test_missing_scipy_fails_the_import_and_a_retry_starts_afresh():
    out = run_python("""
        import sys
        sys.modules['scipy.optimize'] = None
        try:
            import qel_cv
        except ImportError as e:
            import traceback
            print('ERR', e)
            print('TB', traceback.extract_tb(e.__traceback__)[-1].name)
        print('IN', 'qel_cv' in sys.modules)
        del sys.modules['scipy.optimize']
        import qel_cv
        print('OK', callable(qel_cv.CompareResult))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "ERR import of scipy.optimize halted; None in sys.modules", "TB init qel_cv", "IN False", "OK True"]


# The test variant of the build (build/test_hooks): the same module, whose
# start-up tables QEL_CV_TEST_HOOK breaks on request. When the suite itself runs
# on the variant (tests/test_fast_paths.py starts such a run), that is the build.
HOOKS = BUILD if "_qel_cv_test_hooks" in sys.modules else os.path.join(BUILD, "test_hooks")


def run_hooked(hook, code, cwd=None):
    skip_unless_build_tree("the test variant of the module")
    assert os.path.isdir(HOOKS), f"no test variant in {HOOKS}: configure with -DQEL_TEST_HOOKS=ON (the default)"
    env = dict(os.environ, PYTHONPATH=HOOKS, QEL_CV_TEST_HOOK=hook)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=120, cwd=cwd)


@pytest.mark.parametrize("hook, message", [
    ("", None),
    ("missing", "'translate' is named by the namespace table but has no definition"),
    ("duplicate", "'translate' has 2 definitions"),
    ("unnamed", "the definition of 'orphan' is not named by the namespace table"),
    ("default_order", "take_min: the required parameter 'max_value' follows one with a default"),
    ("setter_first", "NGRegion.desc: a property setter comes before its getter"),
    ("fast_path", "the fast path 'a test path' stands in for 'no_such_name', which neither the namespace table "
                  "nor the builtins bind"),
    ("unguarded_use", "the fast path 'a test path' uses 'compare_image_difference', which it does not guard"),
    ("misspelled_float", "contour_is_too_big: the parameter 'area' is annotated 'flaot' but converted to float"),
    ("unconverted_float", "contour_is_too_big: the parameter 'area' is annotated 'float' but not converted"),
])
def test_broken_start_up_tables_fail_the_import_naming_the_culprit(hook, message):
    out = run_hooked(hook, """
        import sys
        try:
            import qel_cv
            print(qel_cv.__file__, qel_cv.translate)
        except ImportError as e:
            print("ImportError:", e)
        print("IN", "qel_cv" in sys.modules)
    """)
    assert out.returncode == 0, out.stderr
    if message is None:  # the variant itself is sound
        assert out.stdout.startswith(HOOKS) and out.stdout.endswith("IN True\n")
    else:
        assert out.stdout.splitlines() == [f"ImportError: qel_cv: {message}", "IN False"]


def test_cpp_exception_escaping_a_body_becomes_a_python_exception():
    out = run_hooked("throw", """
        import traceback
        import numpy as np
        import qel_cv
        cnt = np.array([[[1, 2]], [[5, 9]]], np.int32)
        for kind in ["bad_alloc", "runtime_error", "int"]:
            try:
                qel_cv.contour_is_too_long(cnt, kind)
            except Exception as e:
                print(type(e).__name__, str(e), traceback.extract_tb(e.__traceback__)[-1].name, sep=" | ")
        print(qel_cv.translate(np.zeros((3, 3), np.uint8), 1, 1).shape)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "MemoryError |  | qel_cv.contour_is_too_long",
        "SystemError | contour_is_too_long: unexpected C++ exception: a test failure | qel_cv.contour_is_too_long",
        "SystemError | contour_is_too_long: unexpected C++ exception of unknown type | qel_cv.contour_is_too_long",
        "(3, 3)",
    ]


def test_error_thrown_without_a_python_exception_stops_the_process_saying_so(tmp_path):
    out = run_hooked("throw", """
        import numpy as np
        import qel_cv
        qel_cv.contour_is_too_long(np.zeros((1, 1, 2), np.int32), "unset")
    """, cwd=tmp_path)
    assert out.returncode != 0
    assert "Fatal Python error" in out.stderr
    assert "qel_cv: an error was thrown without a Python exception set" in out.stderr


def test_second_module_object_cannot_be_initialised():
    out = run_python("""
        import importlib.util
        module_spec = importlib.util.find_spec('qel_cv')
        a = importlib.util.module_from_spec(module_spec)
        b = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(a)
        module_spec.loader.exec_module(a)
        try:
            module_spec.loader.exec_module(b)
        except RuntimeError as e:
            print(e)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "Module 'qel_cv' has already been imported. Re-initialisation is not supported."


def test_failed_import_in_a_sub_interpreter_leaves_no_owner_behind():
    out = run_python("""
        import _xxsubinterpreters as interp
        i = interp.create()
        interp.run_string(i, "import sys; sys.modules['numpy'] = None\\n"
                             "try:\\n    import qel_cv\\nexcept ImportError as e:\\n    print(e)")
        interp.destroy(i)
        import qel_cv
        print(qel_cv.CompareResult(None).ok)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["import of numpy halted; None in sys.modules", "True"]


def test_class_obtained_during_a_failed_start_up_raises_when_called():
    out = run_python("""
        import sys, types, cv2
        grabbed = []

        def cv2_attribute(name):  # a cv2 without THRESH_BINARY
            if name == "THRESH_BINARY":
                grabbed.append(sys.modules["qel_cv"].FittingCircle)
                raise AttributeError(name)
            return getattr(cv2, name)

        sys.modules["cv2"] = types.ModuleType("cv2")
        sys.modules["cv2"].__getattr__ = cv2_attribute
        try:
            import qel_cv
        except AttributeError as e:
            print("import:", e)
        try:
            grabbed[0](x=[1.0, 2.0, 3.0], y=[1.0, 3.0, 1.0])
        except RuntimeError as e:
            print(e)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "import: THRESH_BINARY", "qel_cv did not finish starting up, so 'len' cannot be looked up"]


def test_second_interpreter_is_refused():
    out = run_python("""
        import qel_cv, _xxsubinterpreters as interp
        i = interp.create()
        try:
            interp.run_string(i, "import qel_cv")
        except interp.RunFailedError as e:
            print(e)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == ("<class 'ImportError'>: Interpreter change detected - this module can only be loaded "
                                  "into one interpreter per process.")


def test_import_from_anywhere_when_installed(tmp_path):
    # The test command installs the module; the build tree is not on the path here.
    out = subprocess.run([sys.executable, "-c", "import qel_cv; print(qel_cv.__name__)"], cwd=tmp_path,
                         capture_output=True, text=True, env={k: v for k, v in os.environ.items()
                                                              if k != "PYTHONPATH"})
    assert out.stdout.strip() == "qel_cv", out.stderr


# --- the function object ------------------------------------------------------

def test_function_attributes():
    reset = qel_cv.CompareResult.reset
    assert reset.__name__ == reset.func_name == "reset"
    assert reset.__qualname__ == "CompareResult.reset"
    assert reset.__module__ == "qel_cv"
    assert reset.__doc__ is None and reset.__defaults__ is None and reset.__kwdefaults__ is None
    assert reset.__annotations__ == {"image": np.ndarray}
    assert reset.__globals__ is vars(qel_cv) and reset.func_globals is vars(qel_cv)
    assert reset.__closure__ is None and reset.__self__ is None
    assert type(reset).__name__ == "cython_function_or_method" and type(reset).__module__ == "builtins"
    assert repr(reset).startswith("<cyfunction CompareResult.reset at 0x")
    assert qel_cv.CompareResult.marked_image.__defaults__ == (-1,)
    assert qel_cv.NGRegion.__init__.__defaults__ == ("",)
    assert inspect.isroutine(reset) and not inspect.isfunction(reset) and not inspect.isbuiltin(reset)
    assert not hasattr(reset, "__text_signature__") and not hasattr(reset, "__wrapped__")


def test_code_object():
    code = qel_cv.CompareResult.marked_image.__code__
    assert code.co_argcount == 2 and code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames == ("self", "index", "image", "regions", "region", "x1", "y1", "y2", "x2")
    assert code.co_nlocals == len(code.co_varnames)
    assert code.co_flags == 3 and code.co_filename == "qel_cv.py" and code.co_name == "marked_image"
    assert inspect.signature(qel_cv.CompareResult(None).marked_image) == inspect.signature(
        lambda index=-1: None).replace(return_annotation=np.ndarray)
    assert str(inspect.signature(qel_cv.CompareResult.append)) == "(self, ng_region: qel_cv.NGRegion)"


def test_empty_annotations_are_created_lazily_and_cached():
    get_region = qel_cv.NGRegion.get_region
    first = get_region.__annotations__
    assert first == {} and get_region.__annotations__ is first
    get_region.__annotations__ = None
    assert get_region.__annotations__ == {} and get_region.__annotations__ is not first


@pytest.mark.parametrize("attribute, value, message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("__qualname__", None, "__qualname__ must be set to a string object"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
])
def test_attribute_setters_check_types(attribute, value, message):
    func = qel_cv.NGRegion.get_desc
    with pytest.raises(TypeError) as info:
        setattr(func, attribute, value)
    assert str(info.value) == message


@pytest.mark.parametrize("attribute", ["__globals__", "__code__", "__closure__"])
def test_read_only_attributes(attribute):
    with pytest.raises(AttributeError) as info:
        setattr(qel_cv.NGRegion.get_desc, attribute, None)
    assert str(info.value) == (f"attribute '{attribute}' of 'cython_function_or_method' objects is not "
                               "writable")


def test_writable_attributes_do_not_change_calls(grey):
    func = qel_cv.CompareResult.marked_image
    saved = func.__defaults__, func.__doc__, func.__name__
    try:
        func.__defaults__ = (99,)
        func.__doc__ = "text"
        func.__name__ = "renamed"
        func.extra = 5
        assert func.__dict__ == {"extra": 5}
        # Calls keep the default captured at definition, and errors the def name.
        assert qel_cv.CompareResult(grey).marked_image().shape == (100, 100, 3)
        with pytest.raises(TypeError, match=r"^marked_image\(\) takes"):
            func()
        del func.__doc__
        assert func.__doc__ is None
        with pytest.raises(TypeError, match="may not be deleted"):
            del func.__dict__
    finally:
        func.__defaults__, func.__doc__, func.__name__ = saved
        func.__dict__ = {}


def test_binding_as_method_and_by_reference(grey):
    reset = qel_cv.CompareResult.__dict__["reset"]
    assert qel_cv.CompareResult.reset is reset
    assert reset.__get__(None, qel_cv.CompareResult) is reset
    result = qel_cv.CompareResult(grey)
    bound = result.reset
    assert bound.__func__ is reset and bound.__self__ is result
    assert repr(qel_cv.NGRegion.get_desc.__get__(5)).startswith("<bound method NGRegion.get_desc of 5")
    assert pickle.loads(pickle.dumps(reset)) is reset
    ref = weakref.ref(reset)
    assert ref() is reset
    assert reset == reset and hash(reset) == hash(reset)


def test_properties_are_builtin_properties():
    prop = qel_cv.CompareResult.__dict__["ok"]
    assert type(prop) is property and prop.fset is None and prop.fdel is None and prop.__doc__ is None
    assert prop.fget.__qualname__ == "CompareResult.ok"
    result = qel_cv.CompareResult(None)
    with pytest.raises(AttributeError, match="property 'ok' of 'CompareResult' object has no setter"):
        result.ok = False


# --- argument errors ----------------------------------------------------------

R = qel_cv.CompareResult
N = qel_cv.NGRegion


@pytest.mark.parametrize("call, message", [
    (lambda r: r.reset(), "reset() takes exactly 2 positional arguments (1 given)"),
    (lambda r: r.reset(1, 2), "reset() takes exactly 2 positional arguments (3 given)"),
    (lambda r: R.reset(), "reset() takes exactly 2 positional arguments (0 given)"),
    (lambda r: R.reset(image=1), "reset() takes exactly 2 positional arguments (0 given)"),
    (lambda r: r.marked_image(1, 2), "marked_image() takes at most 2 positional arguments (3 given)"),
    (lambda r: R.marked_image(r, 1, 2), "marked_image() takes at most 2 positional arguments (3 given)"),
    (lambda r: R.marked_image(), "marked_image() takes at least 1 positional argument (0 given)"),
    (lambda r: R.marked_image(index=0), "marked_image() takes at least 1 positional argument (0 given)"),
    (lambda r: N(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda r: N(1, 2, 3), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda r: N(desc=""), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda r: N(1, 2, 3, foo=1), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda r: N(1, foo=1), "__init__() got an unexpected keyword argument 'foo'"),
    (lambda r: N(1, rect=1), "__init__() got multiple values for keyword argument 'rect'"),
    (lambda r: N(1, self=1), "__init__() got multiple values for keyword argument 'self'"),
    (lambda r: N(1, **{"desc": "", "zz": 1, "rect": 2}),
     "__init__() got an unexpected keyword argument 'zz'"),
    (lambda r: N(1, **{"rect": 2, "zz": 1}), "__init__() got multiple values for keyword argument 'rect'"),
    (lambda r: N.__init__(*(1, 2, 3, 4)), "__init__() takes at most 3 positional arguments (4 given)"),
    (lambda r: R.__init__(**{1: 2}), "__init__() takes exactly 2 positional arguments (0 given)"),
    (lambda r: R.reset(r, 1, **{1: 2}), "reset() keywords must be strings"),
    (lambda r: N.get_region(), "get_region() takes exactly one argument (0 given)"),
    (lambda r: N(1).get_region(1), "get_region() takes exactly one argument (2 given)"),
    (lambda r: N.get_region(self=1), "get_region() takes no keyword arguments"),
    (lambda r: N(1).get_desc(x=1), "get_desc() takes no keyword arguments"),
    (lambda r: N.get_desc(1, 2, **{3: 4}), "get_desc() takes no keyword arguments"),
    (lambda r: R.ok.fget(r, 1), "ok() takes exactly one argument (2 given)"),
    (lambda r: R.ng_count.fget(), "ng_count() takes exactly one argument (0 given)"),
])
def test_argument_errors(call, message, grey):
    with pytest.raises(TypeError) as info:
        call(R(grey))
    assert str(info.value) == message


def test_keywords_bind_by_name_including_self(grey):
    result = R(grey)
    R.reset(self=result, image=grey)
    region = N(desc="d", rect=[1, 2, 3, 4])
    assert (region.rect, region.desc) == ([1, 2, 3, 4], "d")
    assert N.get_region(region, **{}) == [1, 2, 3, 4]
    # A str subclass keyword is compared by text.
    class Key(str):
        pass
    assert N(**{Key("rect"): 5}).rect == 5
    # Nothing checks the type of self: the body fails on its own.
    with pytest.raises(AttributeError):
        R.reset(object(), grey)


def test_caller_side_errors_name_the_module():
    with pytest.raises(TypeError, match=r"^qel_cv\.NGRegion\.get_region\(\) argument after \* must be an iterable"):
        N.get_region(*1)


def test_binding_errors_get_a_traceback_entry_one_argument_errors_none():
    with pytest.raises(TypeError) as info:
        N()
    entries = traceback.extract_tb(info.tb)
    assert (entries[-1].name, entries[-1].filename) == ("qel_cv.NGRegion.__init__", "qel_cv.py")
    assert entries[-1].lineno == N.__init__.__code__.co_firstlineno
    with pytest.raises(TypeError) as info:
        N.get_region()
    assert all(e.filename != "qel_cv.py" for e in traceback.extract_tb(info.tb))


# --- bodies: unpacking, late binding, tracebacks -------------------------------

class Boom:
    def __iter__(self):
        yield 1
        raise KeyError("inside")


@pytest.mark.parametrize("rect, error, message", [
    ([1, 2, 3], ValueError, "need more than 3 values to unpack"),
    ((1,), ValueError, "need more than 1 value to unpack"),
    ([], ValueError, "need more than 0 values to unpack"),
    ((1, 2, 3, 4, 5), ValueError, "too many values to unpack (expected 4)"),
    (np.arange(5), ValueError, "too many values to unpack (expected 4)"),
    (iter([1, 2]), ValueError, "need more than 2 values to unpack"),
    ("abcde", ValueError, "too many values to unpack (expected 4)"),
    (7, TypeError, "'int' object is not iterable"),
    (Boom(), KeyError, "'inside'"),
])
def test_unpacking_texts(rect, error, message, grey):
    result = R(grey)
    result.append(N(rect))
    with pytest.raises(error) as info:
        result.marked_image()
    assert str(info.value) == message
    assert "qel_cv.CompareResult.marked_image" in [e.name for e in traceback.extract_tb(info.tb)]


def test_iterator_is_read_one_past_the_last_target(grey):
    consumed = iter([1, 2, 3, 4, 5, 6])
    result = R(grey)
    result.append(N(consumed))
    with pytest.raises(ValueError):
        result.marked_image()
    assert list(consumed) == [6]


def test_missing_module_name_falls_back_to_builtins_then_name_error(monkeypatch, grey):
    result = R(grey)
    monkeypatch.delattr(qel_cv, "_cv")
    with pytest.raises(NameError) as info:
        result.marked_image()
    assert str(info.value) == "name '_cv' is not defined" and info.value.name is None
    monkeypatch.setattr(builtins, "_cv", cv2, raising=False)
    assert result.marked_image().shape == (100, 100, 3)


def test_library_calls_are_late_bound(monkeypatch, grey):
    seen = []
    rectangle = cv2.rectangle

    def spy(*args):
        seen.append(args)
        return rectangle(*args)

    monkeypatch.setattr(cv2, "rectangle", spy)
    result = R(grey)
    result.append(N([10, 20, 30, 40]))
    result.marked_image()
    assert len(seen) == 1 and seen[0][1:] == ((9, 19), (31, 41), (0, 0, 255), 1)
    monkeypatch.setattr(qel_cv, "_cv", None)
    with pytest.raises(AttributeError):
        result.marked_image()


def test_exception_from_python_callback_keeps_its_frames_below_the_entry(grey):
    class Region:
        @property
        def rect(self):
            raise LookupError("from callback")

    result = R(grey)
    result.append(Region())
    with pytest.raises(LookupError) as info:
        result.marked_image()
    names = [e.name for e in traceback.extract_tb(info.tb)]
    assert names[-2:] == ["qel_cv.CompareResult.marked_image", "rect"]


def test_assert_honours_optimize_flag():
    code = """
        import numpy as np, qel_cv
        r = qel_cv.CompareResult(np.zeros((4, 4), np.uint8))
        try:
            r.marked_image(0)
        except Exception as e:
            print(type(e).__name__, repr(str(e)))
    """
    assert run_python(code).stdout.strip() == "AssertionError ''"
    assert run_python(code, "-O").stdout.strip() == "IndexError 'list index out of range'"


# --- robustness -----------------------------------------------------------------

def _rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@skip_if_sanitized
def test_repeated_calls_do_not_leak(grey):
    # OpenCV's own error path leaks memory on every raise, so no cv2 failure is repeated here.
    def work():
        result = R(grey)
        result.append(N([1, 2, 3, 4], "x"))
        result.marked_image()
        result.descriptions
        for bad in (lambda: result.reset(), lambda: N(), lambda: N.get_desc(x=1),
                    lambda: R(grey).marked_image(3), lambda: R(grey).reset(**{1: 2})):
            try:
                bad()
            except Exception:
                pass

    for _ in range(500):
        work()
    gc.collect()
    before_objects = len(gc.get_objects())
    before = _rss_kb()
    for _ in range(10_000):
        work()
    gc.collect()
    assert len(gc.get_objects()) - before_objects < 100
    assert _rss_kb() - before < 4 * 1024


# The calling texts across the whole surface, as callers have always seen them.
S = qel_cv.ShiftComparator
SURFACE_ERRORS = [
 ("qel_cv.translate(img, 1)", "translate() takes at least 3 positional arguments (2 given)"),
 ("qel_cv.translate()", "translate() takes at least 3 positional arguments (0 given)"),
 ("qel_cv.translate(1,2,3,4,5)", "translate() takes at most 4 positional arguments (5 given)"),
 ("qel_cv.translate(img, down=2)", "translate() takes at least 3 positional arguments (1 given)"),
 ("qel_cv.translate(image=img, right=1)", "translate() takes at least 3 positional arguments (2 given)"),
 ("qel_cv.translate(img, 1, foo=4)", "translate() takes at least 3 positional arguments (2 given)"),
 ("qel_cv.translate(img,1,2,3,4, foo=4)", "translate() takes at most 4 positional arguments (5 given)"),
 ("qel_cv.contour_is_too_long(1)", "contour_is_too_long() takes exactly 2 positional arguments (1 given)"),
 ("qel_cv.contour_is_too_long(length=1)", "contour_is_too_long() takes exactly 2 positional arguments (0 given)"),
 ("S(img)", "__init__() takes at least 5 positional arguments (2 given)"),
 ("S()", "__init__() takes at least 5 positional arguments (1 given)"),
 ("S(1,2,3,4,5,6,7,8,9)", "__init__() takes at most 9 positional arguments (10 given)"),
 ("S(1,2, judge_parameter=4)", "__init__() takes at least 5 positional arguments (3 given)"),
 ("S(1,2,3,4, self=4)", "__init__() got multiple values for keyword argument 'self'"),
 ("qel_cv.FittingCircle(1,2,3,4)", "__init__() takes at most 4 positional arguments (5 given)"),
 ("qel_cv.FittingCircle._FittingCircle__error(1, 2)", "__error() takes exactly 3 positional arguments (2 given)"),
 ("S.black_spot_desc.fset(S(img,1,1,1))", "black_spot_desc() takes exactly 2 positional arguments (1 given)"),
 ("qel_cv.find_barcode_contours(img)", "find_barcode_contours() takes at least 2 positional arguments (1 given)"),
 ("qel_cv.shift_compare_barcode(1,2,3)", "shift_compare_barcode() takes exactly 6 positional arguments (3 given)"),
 ("qel_cv.CirclePeeler(img)", "__init__() takes at least 3 positional arguments (2 given)"),
 ("qel_cv.CirclePeeler(img, 3).peel()", "peel() takes exactly 2 positional arguments (1 given)"),
 ("qel_cv.translate(img,1,2,**{1:2})", "translate() keywords must be strings"),
 ("qel_cv.translate(img,1,2,3,border_mode=4)", "translate() got multiple values for keyword argument 'border_mode'"),
 ("qel_cv.translate(img,1,2,foo=3)", "translate() got an unexpected keyword argument 'foo'"),
 ("qel_cv.bounding_rect_top()", "bounding_rect_top() takes exactly one argument (0 given)"),
 ("qel_cv.bounding_rect_top(1, 2)", "bounding_rect_top() takes exactly one argument (2 given)"),
 ("qel_cv.bounding_rect_top(contour=1)", "bounding_rect_top() takes no keyword arguments"),
 ("qel_cv.bounding_rect_top(1, contour=1)", "bounding_rect_top() takes no keyword arguments"),
 ("S.black_spot_desc.fget(S(img,1,1,1), 1)", "black_spot_desc() takes exactly one argument (2 given)"),
 ("qel_cv.translate(*1)", "qel_cv.translate() argument after * must be an iterable, not int"),
 ("qel_cv.translate(**1)", "qel_cv.translate() argument after ** must be a mapping, not int"),
 ("qel_cv.translate(1, **{'right':1}, right=2)", "qel_cv.translate() got multiple values for keyword argument 'right'"),
 ("qel_cv.contour_is_too_big(1, None)", "must be real number, not NoneType"),
 ("qel_cv.contour_is_too_big(1, None, 3)", "contour_is_too_big() takes exactly 2 positional arguments (3 given)"),
 ("qel_cv.contour_is_too_big(1, '3')", "must be real number, not str"),
 ("qel_cv.contour_is_too_big(1, 10**400)", "int too large to convert to float"),
 ("setattr(S(img,1,1,1), 'black_spot_desc', 5)", "Argument 'desc' has incorrect type (expected str, got int)"),
 ("setattr(S(img,1,1,1), 'black_spot_desc', b'x')", "Argument 'desc' has incorrect type (expected str, got bytes)"),
]


@pytest.mark.parametrize("expr, message", SURFACE_ERRORS, ids=[e for e, _ in SURFACE_ERRORS])
def test_surface_error_texts(expr, message):
    img = np.zeros((10, 10), np.uint8)
    with pytest.raises((TypeError, OverflowError)) as info:
        eval(expr, {"qel_cv": qel_cv, "S": S, "img": img})
    assert str(info.value) == message


def test_description_getter_checks_the_stored_type():
    comparator = S(np.zeros((10, 10), np.uint8), 1, 1, 1)
    for value, name in ((5, "int"), (b"x", "bytes"), (type("U", (str,), {})("u"), "U")):
        comparator._ShiftComparator__black_spot_desc = value
        with pytest.raises(TypeError) as info:
            comparator.black_spot_desc
        assert str(info.value) == f"Expected unicode, got {name}"
        assert traceback.extract_tb(info.tb)[-1].name == "qel_cv.ShiftComparator.black_spot_desc"


def test_text_property_type_error_adds_no_traceback_entry():
    comparator = S(np.zeros((10, 10), np.uint8), 1, 1, 1)
    with pytest.raises(TypeError) as info:
        comparator.black_spot_desc = 5
    assert [e.name for e in traceback.extract_tb(info.tb) if e.name.startswith("qel_cv")] == []


# --- late binding where a fast path stands in ------------------------------------

SQUARE = np.zeros((30, 30), np.int16)
SQUARE[10:20, 10:20] = 200
CONTOUR = np.array([[[0, 3]], [[1, 7]], [[1, 2]], [[3, 4]], [[2, 9]]], np.int32)


def compare_square():
    result = R(SQUARE)
    S(np.zeros((30, 30), np.uint8), 2, 10, 1).compare(SQUARE, result)
    return result.descriptions


def bars_found():
    image = np.zeros((60, 60), np.uint8)
    image[10:13, 5:55] = image[30:50, 20:24] = 255   # one bar too small, one too large: both printed
    return qel_cv.find_barcode_contours(image, (0, 0, 60, 60))[0]


@pytest.fixture
def namespace_in_order():
    """Names a test deletes come back in their place in the namespace."""
    saved = dict(vars(qel_cv))
    yield
    vars(qel_cv).clear()
    vars(qel_cv).update(saved)


@pytest.mark.parametrize("name", ["translate", "compare_image_difference", "_get_points_equal_x"])
def test_deleted_name_raises_name_error_where_a_fast_path_stands_in(namespace_in_order, name):
    delattr(qel_cv, name)
    call = qel_cv.calculate_contour_vertical_distances if name.startswith("_") else compare_square
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        call(CONTOUR) if name.startswith("_") else call()


class Spy:
    """Stands in for a builtin: records each call and gives the builtin's answer."""

    def __init__(self, real):
        self.real, self.calls = real, 0

    def __call__(self, *args, **kwargs):
        self.calls += 1
        return self.real(*args, **kwargs)


SHADOWED = [
    ("len", qel_cv, lambda: (R(None).ok, R(None).ng_count)),
    ("len", qel_cv, lambda: qel_cv.calculate_contour_vertical_distances(CONTOUR)),
    ("len", qel_cv, lambda: qel_cv.FittingCircle(points=[(0, 1), (1, 0), (0, -1), (-1, 0)]).center),
    ("len", qel_cv, lambda: qel_cv.extract_poly(np.ones((4, 4, 3), np.uint8), [[0, 0], [3, 0], [3, 3]]).tolist()),
    ("range", qel_cv, lambda: qel_cv.take_middle(np.arange(10, dtype=np.uint8), 2, 5).tolist()),
    ("range", builtins, lambda: qel_cv.take_middle(np.arange(10, dtype=np.uint8), 2, 5).tolist()),
    ("range", qel_cv, compare_square),
    ("int", qel_cv, compare_square),
    ("tuple", qel_cv, lambda: qel_cv.calculate_contour_vertical_distances(CONTOUR)),
    ("sorted", qel_cv, bars_found),
    ("print", qel_cv, bars_found),
]


@pytest.mark.parametrize("name, where, call", SHADOWED, ids=[f"{n}-{w.__name__}-{i}" for i, (n, w, _) in
                                                              enumerate(SHADOWED)])
def test_builtins_are_looked_up_at_call_time_after_module_names(monkeypatch, capsys, name, where, call):
    expected = call()
    spy = Spy(getattr(builtins, name))
    monkeypatch.setattr(where, name, spy, raising=False)
    got = call()
    assert spy.calls > 0
    assert repr(got) == repr(expected)
