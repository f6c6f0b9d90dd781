"""Checks the built site as a reader meets it: every page of docs/ is built and reachable from the
navigation of every page, no page shows a problem of the build (a docutils system message, a
reference left unresolved, the words Warning or Error standing alone), every picture is there,
and nothing is loaded from the network (no remote script, style sheet, picture or font).

Usage: docs_html.py DOCS_DIR HTML_DIR; prints what is wrong and exits 1, or says what it checked.
"""

import html.parser
import pathlib
import posixpath
import re
import sys

NOT_PAGES = ("_generated", "_ext", "_static")
# Words a reader would take for a failure of the build; "TypeError", "InputError" and "error:"
# in the pages' own text do not match.
PROBLEM_WORDS = re.compile(r"\b(Warning|Error|WARNING|ERROR)\b")
REMOTE = re.compile(r"^(https?:)?//", re.IGNORECASE)
LOADING = {("script", "src"), ("link", "href"), ("img", "src"), ("source", "src"),
           ("iframe", "src"), ("video", "src"), ("audio", "src"), ("embed", "src"),
           ("object", "data")}


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.navigation = set()     # hrefs inside the sidebar tree
        self.loads = []             # (tag, attribute, value) of what the page loads
        self.images = []
        self.problems = []          # classes of docutils problems
        self.text = []              # the article's text
        self._stack = []            # per open element: (tag, in_navigation, in_article, skip)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        classes = set((attrs.get("class") or "").split())
        navigation = bool(self._stack and self._stack[-1][1]) or "sidebar-tree" in classes
        article = bool(self._stack and self._stack[-1][2]) or tag == "article"
        skip = bool(self._stack and self._stack[-1][3]) or tag in ("script", "style")
        if tag not in ("br", "img", "input", "link", "meta", "hr", "source", "wbr"):
            self._stack.append((tag, navigation, article, skip))
        if navigation and tag == "a" and attrs.get("href"):
            self.navigation.add(attrs["href"].split("#")[0])
        for element, attribute in LOADING:
            if tag == element and attrs.get(attribute):
                if tag == "link" and attrs.get("rel") not in ("stylesheet", "icon", "preload"):
                    continue
                self.loads.append((tag, attribute, attrs[attribute]))
        if tag == "img" and attrs.get("src"):
            self.images.append(attrs["src"])
        for name in ("system-message", "problematic"):
            if name in classes:
                self.problems.append(name)
        if tag == "span" and "xref" in classes and "pending" in classes:
            self.problems.append("unresolved reference")

    def handle_endtag(self, tag):
        for i in range(len(self._stack) - 1, -1, -1):
            if self._stack[i][0] == tag:
                del self._stack[i:]
                break

    def handle_data(self, data):
        if self._stack and self._stack[-1][2] and not self._stack[-1][3]:
            self.text.append(data)


def main(docs, out):
    docs, out = pathlib.Path(docs), pathlib.Path(out)
    names = sorted(str(p.relative_to(docs).with_suffix("")).replace("\\", "/")
                   for suffix in ("*.md", "*.rst") for p in docs.rglob(suffix)
                   if not any(part in NOT_PAGES or part.startswith(".")
                              for part in p.relative_to(docs).parts))
    wrong = []
    for name in names:
        path = out / f"{name}.html"
        if not path.is_file():
            wrong.append(f"{name}: no {path}")
            continue
        page = Page()
        page.feed(path.read_text(encoding="utf-8"))
        here = posixpath.dirname(name)
        reachable = {posixpath.normpath(posixpath.join(here, href))[:-len(".html")]
                     for href in page.navigation if href.endswith(".html") and not REMOTE.match(href)}
        missing = [other for other in names if other not in ("index", name) and other not in reachable]
        if missing:
            wrong.append(f"{name}: the navigation does not list {', '.join(missing)}")
        for problem in sorted(set(page.problems)):
            wrong.append(f"{name}: a {problem} of the build is on the page")
        text = " ".join("".join(page.text).split())
        for match in PROBLEM_WORDS.finditer(text):
            context = text[max(0, match.start() - 60):match.end() + 60]
            wrong.append(f"{name}: the page says {match.group(0)!r}: ...{context}...")
        for tag, attribute, value in page.loads:
            if REMOTE.match(value):
                wrong.append(f"{name}: <{tag} {attribute}={value!r}> loads from the network")
        for src in page.images:
            if not REMOTE.match(src) and not src.startswith("data:") and \
                    not (path.parent / src.split("#")[0]).is_file():
                wrong.append(f"{name}: the picture {src} is missing")
    for css in out.rglob("*.css"):
        for url in re.findall(r"url\(\s*['\"]?([^'\")]+)", css.read_text(encoding="utf-8")):
            if REMOTE.match(url):
                wrong.append(f"{css.relative_to(out)}: loads {url} from the network")
        if re.search(r"@import\s+(url\()?['\"]?(https?:)?//", css.read_text(encoding="utf-8")):
            wrong.append(f"{css.relative_to(out)}: imports a style sheet from the network")
    if wrong:
        print("\n".join(wrong), file=sys.stderr)
        return 1
    print(f"docs_html: {len(names)} pages, each with all of them in its navigation; no build "
          "problem shown; nothing loaded from the network")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
