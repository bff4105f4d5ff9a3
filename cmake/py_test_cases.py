"""Lists the CTest tests of python test files, for the configure step.

Each unittest case becomes its own test, except cases that share a fixture: a module with
setUpModule stays one test, and so does a class with setUpClass, so that the fixture (a
studio, a browser, a whole build) is still made once. A file without unittest cases (its own
main) is one test. The files are read, not imported, so a missing module cannot break the
configure step.

Usage: py_test_cases.py FILE...
Prints one line per test: FILE, a tab, and the unittest name to run ("" for the whole file,
"Class" or "Class.test_method").
"""
import ast
import sys


def is_test_case(cls, known):
    for base in cls.bases:
        name = base.attr if isinstance(base, ast.Attribute) else getattr(base, "id", "")
        if name == "TestCase" or name in known:
            return True
    return False


def cases(path):
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    if "setUpModule" in functions:
        return [""]
    names, known = [], set()
    for node in tree.body:
        if not isinstance(node, ast.ClassDef) or not is_test_case(node, known):
            continue
        known.add(node.name)
        methods = [n.name for n in node.body if isinstance(n, ast.FunctionDef)]
        if "setUpClass" in methods:
            names.append(node.name)
        else:
            names += [node.name + "." + m for m in methods if m.startswith("test")]
    return names or [""]


def main(paths):
    for path in paths:
        for name in cases(path):
            print(path + "\t" + name)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
