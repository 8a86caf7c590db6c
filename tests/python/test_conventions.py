"""The package as Python users expect it: a repr, documented properties and keys, argument names
on the compiled functions, a type stub that covers the public names."""

import ast
import inspect
import os

import ropesim
from ropesim._native import NativeRope


def test_repr_says_what_rope_it_is():
    rope = ropesim.Rope(links=7)
    rope.advance(3)
    assert repr(rope) == f"<ropesim.Rope: 7 links, {rope.coordinate_count} coordinates, t = 0.03 s>"


def test_help_documents_every_property_and_parameter_key():
    properties = [name for name, value in vars(ropesim.Rope).items() if isinstance(value, property)]
    assert "coordinate_count" in properties
    for name in properties:
        assert getattr(ropesim.Rope, name).__doc__, name
    for key in ropesim.parameter_keys():
        assert f"    {key}: " in ropesim.Rope.__doc__, key


def test_simulate_returns_a_row_per_frame_laid_out_as_the_state():
    rope = ropesim.Rope(links=3)
    times, states = rope.simulate(0.05)
    assert times.shape == (6,)
    assert states.shape == (6, len(rope.state))
    assert (states[-1] == rope.state).all()


def test_compiled_functions_name_their_arguments():
    for method, names in [(NativeRope.set_target, ("carriage", "x")),
                          (NativeRope.simulate, ("duration", "every", "moves")),
                          (NativeRope.rhs, ("state",))]:
        for name in names:
            assert f"{name}: " in method.__doc__, (method.__name__, name)


def test_the_type_stub_ships_and_covers_the_public_names():
    package = os.path.dirname(ropesim.__file__)
    assert os.path.isfile(os.path.join(package, "py.typed"))
    with open(os.path.join(package, "__init__.pyi"), encoding="utf-8") as stub:
        tree = ast.parse(stub.read())
    declared = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert set(ropesim.__all__) <= declared
    rope_stub = next(node for node in tree.body if getattr(node, "name", "") == "Rope")
    stub_members = {node.name for node in rope_stub.body if isinstance(node, ast.FunctionDef)}
    public = {name for name, _ in inspect.getmembers(ropesim.Rope) if not name.startswith("_")}
    assert public <= stub_members
