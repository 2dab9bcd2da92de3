"""The command line's options, the package's keyword arguments, its type
stub and its docstrings name the same options."""
import ast
import os
import re
import subprocess
import tempfile
import unittest

import norvo_retarget as nr

TOOL = os.environ["NORVO_RETARGET"]
# The build puts the stub beside the module, as an installation does.
STUB = os.path.join(os.path.dirname(nr.__file__), "norvo_retarget.pyi")
# Options Python takes as positional arguments (the files and the folder),
# as figures=False (--quiet), or not at all.
POSITIONAL = {"help", "target", "output", "batch", "quiet"}
# The files a clip writes beside its motion: a Retargeter writes none.
OUTPUTS = {"report", "svg", "html", "save_rig"}


def command_line_options():
    text = subprocess.run([TOOL, "--help"], capture_output=True, text=True, check=True).stdout
    names = re.findall(r"^  (?:-\w,)?--([a-z-]+)", text, re.MULTILINE)
    return {name.replace("-", "_") for name in names} - POSITIONAL


def stub_keywords():
    """The keyword-only parameters of retarget() and batch() in the stub, but figures."""
    with open(STUB, encoding="utf-8") as stub:
        tree = ast.parse(stub.read())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    return tuple({argument.arg for argument in functions[name].args.kwonlyargs} - {"figures"}
                 for name in ("retarget", "batch"))


def accepts(call, name):
    """Whether `call` takes `name` as a keyword argument (with None, which a
    flag refuses by its type)."""
    try:
        call(**{name: None})
    except TypeError as error:
        return "unexpected keyword argument" not in str(error)
    except nr.Error:
        pass
    return True


class Options(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.missing = os.path.join(self.dir.name, "missing.bvh")

    def test_the_command_line_and_the_stub_list_the_same_options(self):
        options = command_line_options()
        self.assertIn("lock_feet", options)
        retarget, batch = stub_keywords()
        self.assertEqual(retarget & batch, set())
        self.assertEqual(retarget | batch, options)
        self.assertTrue(OUTPUTS <= retarget)

    def test_the_option_list_is_the_stubs(self):
        retarget, batch = stub_keywords()
        listed = {option["keyword"]: option for option in nr.options()}
        self.assertEqual(set(listed), retarget | batch)
        self.assertEqual({k for k, o in listed.items() if o["runs"] == "batch"}, batch)
        self.assertEqual({k for k, o in listed.items() if o["runs"] == "outputs"}, OUTPUTS)
        self.assertEqual(listed["translation_scale"]["default"], "auto")
        self.assertEqual(listed["lock_feet"]["type"], "flag")
        self.assertEqual(listed["fps"]["range"], (0.001, 10000.0))

    def test_the_docstrings_list_the_stubs_keywords(self):
        retarget, batch = stub_keywords()
        listed = re.search(r"with underscores: ([a-z_, ]+)\.", nr.retarget.__doc__).group(1)
        self.assertEqual(set(listed.split(", ")), retarget)
        listed = re.search(r"Besides retarget\(\)'s options: (.+?)\. Returns", nr.batch.__doc__).group(1)
        self.assertEqual(set(re.findall(r"(?:^|, )([a-z_]+)", listed)), batch)  # the notes in parentheses left out

    def test_the_calls_take_the_keywords_the_stub_lists(self):
        retarget, batch = stub_keywords()
        missing, folder = self.missing, os.path.join(self.dir.name, "clips")
        calls = {
            "retarget": (lambda **options: nr.retarget(missing, missing, **options), retarget),
            "batch": (lambda **options: nr.batch(folder, missing, self.dir.name, **options), retarget | batch),
            "Retargeter": (lambda **options: nr.Retargeter(missing, missing, **options), retarget - OUTPUTS),
        }
        for function, (call, takes) in calls.items():
            for name in sorted(command_line_options() | {"quiet", "batch", "colour"}):
                with self.subTest(function=function, keyword=name):
                    self.assertEqual(accepts(call, name), name in takes)

    def test_an_unknown_keyword_is_named(self):
        with self.assertRaisesRegex(TypeError, r"^Retargeter\(\) got an unexpected keyword argument 'report'$"):
            nr.Retargeter(self.missing, self.missing, report="r.json")
        with self.assertRaisesRegex(TypeError, r"^retarget\(\) got an unexpected keyword argument 'jobs'$"):
            nr.retarget(self.missing, self.missing, jobs=2)


if __name__ == "__main__":
    unittest.main()
