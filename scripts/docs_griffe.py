"""Loader extension for the site's reference (mkdocs.yml names it): each
method's docstring is shown as it is, as help() shows it, in a text block.
The module's docstrings are not in one docstring style, and a parser would
turn their lines into wrong parameter tables."""
import griffe


class DocstringAsText(griffe.Extension):
    def on_function_instance(self, *, func, **kwargs):
        if func.docstring is not None:
            func.docstring.value = "```text\n%s\n```" % func.docstring.value.strip("\n")

    def on_class_instance(self, *, cls, **kwargs):
        if cls.docstring is not None:
            cls.docstring.value = "```text\n%s\n```" % cls.docstring.value.strip("\n")
