"""Writes the single-file page: the HTML with the module and the page's script in place of their
markers. Usage: inline.py page.html module.js page.js output.html"""
import os
import sys

page, module, script, output = sys.argv[1:5]
with open(page, encoding="utf-8") as f:
    html = f.read()
for marker, path in (("/*MODULE*/", module), ("/*PAGE*/", script)):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    if "</script" in text:
        sys.exit(f"inline.py: {path} holds a closing script tag")
    html = html.replace(marker, text, 1)
temporary = output + ".tmp"
with open(temporary, "w", encoding="utf-8") as f:
    f.write(html)
os.replace(temporary, output)
