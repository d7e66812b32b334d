"""README's examples run as doctests: every result it shows is what the module gives."""

import doctest
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
if not README.is_file():
    pytest.skip("README.md is not beside the tests", allow_module_level=True)


def sections_with_examples():
    text = README.read_text(encoding="utf-8")
    sections = re.split(r"^## ", text, flags=re.MULTILINE)[1:]
    return [
        pytest.param(section, id=section.splitlines()[0])
        for section in sections
        if ">>> " in section
    ]


@pytest.mark.parametrize("section", sections_with_examples())
def test_readme_section(section):
    parser = doctest.DocTestParser()
    test = parser.get_doctest(section, {}, section.splitlines()[0], str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
    assert runner.tries > 0


def test_sections_with_examples_are_found():
    ids = [param.id for param in sections_with_examples()]
    assert "API" in ids and "Behaviour worth knowing" in ids
