"""Matplotlib figures as SVG markup that can sit inline in an HTML page.

The report draws its charts with the same figure code as the PNG files, then
saves them as SVG.  Matplotlib writes a stand-alone SVG document (XML
declaration, DOCTYPE, metadata naming its web site, namespace declarations,
ids such as ``figure_1`` that repeat in every chart).  Inline in HTML none of
that is needed and some of it is harmful: the report must not reference
anything on the network, and two charts on one page must not share ids.  So
the document is parsed, cleaned and written back out as a plain ``<svg>``
element.
"""

from __future__ import annotations

import io
import re
import xml.etree.ElementTree as ET
from typing import Any

__all__ = ["figure_to_svg"]

_XLINK_HREF = "{http://www.w3.org/1999/xlink}href"
_URL_REF = re.compile(r"url\(#([^)]+)\)")
# Characters XML 1.0 allows in no form, escaped or not: a chart that drew one
# (from a column name) would not parse.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


def _local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def figure_to_svg(fig: Any, prefix: str, label: str) -> str:
    """Return a matplotlib figure as an inline ``<svg>`` element.

    Parameters
    ----------
    fig : matplotlib.figure.Figure
        The figure; it is saved, not changed.
    prefix : str
        Prepended to every id in the drawing (and to every reference to one),
        so that several charts can share a page.  Must be unique in the page.
    label : str
        Accessible name of the chart (``aria-label``); escaped on output.

    Returns
    -------
    str
        Markup starting with ``<svg``, with a ``viewBox``, ``width`` and
        ``height`` in pixels, and no namespace declarations, metadata or
        external references.  Text is kept as text (not glyph outlines),
        which keeps the file small and the labels searchable.
    """
    import matplotlib

    buffer = io.StringIO()
    # The salt fixes the hashed ids matplotlib derives, so that the same
    # result always gives the same markup.
    with matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": prefix,
                                "text.parse_math": False, "text.usetex": False}):
        fig.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None})
    root = ET.fromstring(_NOT_XML.sub("\ufffd", buffer.getvalue()))

    ids: dict[str, str] = {}
    for element in root.iter():
        element.tag = _local(element.tag)
        if "id" in element.attrib:
            ids[element.attrib["id"]] = f"{prefix}-{element.attrib['id']}"
    for element in list(root.iter()):
        if element.tag == "metadata":
            continue
        attrib = element.attrib
        if "id" in attrib:
            attrib["id"] = ids[attrib["id"]]
        href = attrib.pop(_XLINK_HREF, None) or attrib.get("href")
        if href is not None:
            attrib["href"] = "#" + ids.get(href[1:], href[1:]) if href.startswith("#") else ""
        for name, value in list(attrib.items()):
            if "url(#" in value:
                attrib[name] = _URL_REF.sub(lambda m: f"url(#{ids.get(m.group(1), m.group(1))})",
                                            value)
    # A <style> element inside inline SVG styles the whole page; its rules
    # (stroke joins and caps, both inherited) belong on the root instead.
    for parent in list(root.iter()):
        for child in list(parent):
            if child.tag == "style":
                rules = re.search(r"\{([^}]*)\}", child.text or "")
                if rules:
                    root.set("style", rules.group(1).strip())
            if child.tag in ("metadata", "style"):
                parent.remove(child)
    for child in list(root):
        if child.tag == "defs" and len(child) == 0:
            root.remove(child)

    # Pixels, not points, so the chart is drawn at the size of the PNG; CSS
    # scales it down on narrow screens through the viewBox.
    dpi = fig.dpi
    width, height = fig.get_size_inches()
    root.attrib.pop("version", None)
    root.set("width", f"{width * dpi:.0f}")
    root.set("height", f"{height * dpi:.0f}")
    root.set("role", "img")
    root.set("aria-label", _NOT_XML.sub("\ufffd", label))
    return ET.tostring(root, encoding="unicode", short_empty_elements=True)
