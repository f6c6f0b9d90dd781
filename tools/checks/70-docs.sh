#!/usr/bin/env bash
# The documentation (docs/, and README.md as its front page): the site builds with every warning
# an error and every reference within the project resolved (./dev docs); the built pages are all
# in the navigation, show no problem of the build and load nothing from the network; and every
# code example of the pages, of the README and of the docstrings the site shows runs and shows
# what it says (docs/develop/documentation.md). Each part runs even when one before it failed,
# so that one run reports every problem.
set -uo pipefail
SECONDS=0
lap() { echo "  [${SECONDS}s] $*" >&2; }
cd "$(dirname "$0")/../.."
failed=()

if ./dev docs; then
    lap "site built"
    /usr/bin/python3 tools/checks/docs_html.py docs build/docs/html || failed+=("built pages")
    lap "built pages checked"
else
    failed+=("build")
fi
/usr/bin/python3 -m pytest -q tools/checks/docs_examples.py || failed+=("examples")
lap "examples run"

if ((${#failed[@]})); then
    echo "docs check failed: ${failed[*]}" >&2
    exit 1
fi
