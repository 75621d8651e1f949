"""Module entry, self-test functions, argument binding and faults."""
import sys

import pytest

import tarnwick_rs as rs

NAMES = [
    "rust_version",
    "hello_from_rust",
    "hamming_distance",
    "RustBinaryEncoder",
    "HammingSimilarity",
    "RustCacheStorage",
]


def test_all_lists_the_public_names_in_order():
    assert rs.__all__ == [n for n in NAMES if hasattr(rs, n)]
    public = {n for n in dir(rs) if not n.startswith("_")}
    assert public == set(rs.__all__)
    assert not hasattr(rs, "PanicException")
    assert not hasattr(rs, "__version__")


def test_module_docstring_lists_every_name():
    doc = rs.__doc__
    assert "\n\nThis module contains:\n" in doc
    assert doc.endswith("- `hello_from_rust`: Test function")
    for name in NAMES:
        assert f"- `{name}`: " in doc


@pytest.mark.parametrize("name,signature", [
    ("rust_version", "()"),
    ("hello_from_rust", "(name=None)"),
    ("hamming_distance", "(a, b)"),
])
def test_functions_belong_to_the_module(name, signature):
    fn = getattr(rs, name)
    assert fn.__module__ == "tarnwick_rs"
    assert fn.__name__ == name
    assert fn.__text_signature__ == signature
    assert not fn.__doc__.startswith(name)


def test_rust_version():
    assert rs.rust_version() == "0.1.0"
    with pytest.raises(TypeError):
        rs.rust_version(1)
    assert "# Returns" in rs.rust_version.__doc__


@pytest.mark.parametrize("args,kwargs,expected", [
    ((), {}, "Hello from tarnwick_rs v0.1.0!"),
    ((None,), {}, "Hello from tarnwick_rs v0.1.0!"),
    ((), {"name": None}, "Hello from tarnwick_rs v0.1.0!"),
    (("",), {}, "Hello, ! This is tarnwick_rs v0.1.0"),
    (("Ada",), {}, "Hello, Ada! This is tarnwick_rs v0.1.0"),
    ((), {"name": "Zoë 🐍"}, "Hello, Zoë 🐍! This is tarnwick_rs v0.1.0"),
])
def test_hello_from_rust(args, kwargs, expected):
    assert rs.hello_from_rust(*args, **kwargs) == expected


def test_hello_accepts_str_subclass():
    class Name(str):
        pass

    assert rs.hello_from_rust(Name("x")) == "Hello, x! This is tarnwick_rs v0.1.0"


@pytest.mark.parametrize("call,exc,message", [
    (lambda: rs.hello_from_rust(5), TypeError,
     "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (lambda: rs.hello_from_rust(b"x"), TypeError,
     "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: rs.hello_from_rust(1, 2), TypeError,
     "hello_from_rust() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: rs.hello_from_rust(nme="x"), TypeError,
     "hello_from_rust() got an unexpected keyword argument 'nme'"),
    (lambda: rs.hello_from_rust("a", name="b"), TypeError,
     "hello_from_rust() got multiple values for argument 'name'"),
    (lambda: rs.hamming_distance(), TypeError,
     "hamming_distance() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: rs.hamming_distance(1), TypeError,
     "hamming_distance() missing 1 required positional argument: 'b'"),
    (lambda: rs.hamming_distance(1, 2, a=1), TypeError,
     "hamming_distance() got multiple values for argument 'a'"),
    (lambda: rs.hamming_distance(1, 2, 3), TypeError,
     "hamming_distance() takes 2 positional arguments but 3 were given"),
    (lambda: rs.hamming_distance(1, 2, 3, zz=1), TypeError,
     "hamming_distance() takes 2 positional arguments but 3 were given"),
    (lambda: rs.hamming_distance(zz=1), TypeError,
     "hamming_distance() got an unexpected keyword argument 'zz'"),
    (lambda: rs.hamming_distance(b=1, a=1, c=1), TypeError,
     "hamming_distance() got an unexpected keyword argument 'c'"),
])
def test_binding_and_conversion_messages(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert info.value.__cause__ is None


def test_lone_surrogate_name_is_an_unwrapped_encode_error():
    with pytest.raises(UnicodeEncodeError):
        rs.hello_from_rust("\udc80")


def test_keyword_without_utf8_form_matches_nothing():
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        rs.hello_from_rust(**{"\udc80": 1})


def test_second_initialisation_returns_the_same_module():
    import importlib.util

    spec = importlib.util.find_spec("tarnwick_rs")
    again = spec.loader.create_module(spec)
    assert again is rs
    assert rs.__all__.count("hamming_distance") == 1


@pytest.mark.spawns_interpreter
def test_sub_interpreter_import_fails(python):
    result = python("""
        import tarnwick_rs
        import _interpreters
        interp = _interpreters.create('legacy')
        err = _interpreters.run_string(interp, "import tarnwick_rs")
        print(err.type.__name__ if err else None)
        print(err.msg if err else None)
    """)
    if sys.version_info < (3, 13):
        pytest.skip("_interpreters.create('legacy') needs Python 3.13")
    assert result.returncode == 0, result.stderr
    kind, message = result.stdout.splitlines()[:2]
    assert kind == "ImportError"
    assert message.startswith("PyO3 modules do not yet support subinterpreters, see https://")


@pytest.mark.spawns_interpreter
def test_panic_exception_escapes_except_exception(python):
    result = python("""
        import sys
        sys.modules['numpy'] = None
        import tarnwick_rs
        try:
            try:
                tarnwick_rs.hamming_distance(1, 2)
            except Exception:
                print("caught by Exception")
        except BaseException as e:
            t = type(e)
            print(t.__name__, t.__module__, t.__bases__[0].__name__)
            print(t.__doc__.startswith("\\n") and t.__doc__.endswith("\\n"))
            print(e.args[0])
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "PanicException pyo3_runtime BaseException"
    assert lines[1] == "True"
    assert lines[2].startswith("Failed to access NumPy array API capsule: ")
    assert "Failed to access NumPy array API capsule" in result.stderr


class _IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class _TypeErrorSubclass(TypeError):
    pass


def _chained_type_error():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        try:
            raise TypeError("outer") from inner
        except TypeError as outer:
            return outer


def test_wrapped_conversion_error_keeps_the_cause_of_the_original():
    with pytest.raises(TypeError) as info:
        rs.HammingSimilarity(_IndexRaises(_chained_type_error()))
    assert str(info.value) == "argument 'code_bits': outer"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("exc", [_TypeErrorSubclass("sub"), ValueError("v"), OverflowError("o")])
def test_conversion_errors_other_than_exact_type_error_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        rs.HammingSimilarity(_IndexRaises(exc))
    assert info.value is exc


def test_receiver_of_the_wrong_type_is_refused():
    distance = rs.HammingSimilarity.distance
    with pytest.raises(TypeError):
        distance(object(), None, None)
    with pytest.raises(TypeError):
        rs.RustCacheStorage.__len__(5)
