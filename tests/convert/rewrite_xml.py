"""Rewrites an XML document the way an everyday XML tool would: rewrite_xml.py FORM SOURCE TARGET."""
import sys
import xml.dom.minidom
import xml.etree.ElementTree as ElementTree

form, source, target = sys.argv[1:]
if form == "etree-latin1":
    ElementTree.parse(source).write(target, encoding="iso-8859-1")
elif form == "etree-ascii":
    ElementTree.parse(source).write(target, encoding="us-ascii")
elif form == "etree-utf16":
    ElementTree.parse(source).write(target, encoding="utf-16")
elif form == "minidom-utf8":
    with open(target, "wb") as out:
        out.write(xml.dom.minidom.parse(source).toxml(encoding="utf-8"))
elif form == "etree-c14n-note":
    # Canonical XML leaves '>' in attribute values as it stands; a note before write holds one.
    tree = ElementTree.parse(source)
    for table in tree.iter("table"):
        table.set("note", "x > 0")
    with open(target, "w", encoding="utf-8") as out:
        out.write(ElementTree.canonicalize(ElementTree.tostring(tree.getroot(), encoding="unicode")))
else:
    sys.exit("unknown form: " + form)
