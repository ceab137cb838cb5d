#!/usr/bin/env bash
# The documentation site (MkDocs + Material + mkdocstrings, sources in docs/):
#   bash scripts/docs.sh          builds it in strict mode into build-docs/site
#   bash scripts/docs.sh serve    serves it on http://127.0.0.1:8000 for reading (Ctrl+C ends it)
#   bash scripts/docs.sh check    what the test command runs: the strict build, every
#                                 example of the site on the simulated controller, the
#                                 troubleshooting page against the sources' messages, and
#                                 screenshots of two pages in headless Chromium
#                                 (build-docs/screenshots/). Takes the module built in
#                                 VOSTEL_BUILD_DIR with VOSTEL_DOCS_PYTHON (an interpreter
#                                 with the test packages); without them it builds
#                                 build-3.11 as scripts/setup.sh's build_for does.
# The generator's packages are the "docs" dependency group in pyproject.toml,
# installed into .venv-docs.
source "$(dirname "$0")/setup.sh"
export NO_MKDOCS_2_WARNING=1  # the theme's notice about its successor, on every build
cd "$ROOT"

docs_venv() {
  local venv="$ROOT/.venv-docs" packages
  if [ ! -x "$venv/bin/python" ]; then
    step "creating $venv"
    "$(find_python 3.11 || find_python 3.13 || command -v python3)" -m venv "$venv"
  fi
  mapfile -t packages < <(test_packages docs)
  pip_install "$venv/bin/python" "$venv/pip.log" "${packages[@]}"
}

site_build() {
  step "building the site (strict) into build-docs/site"
  "$ROOT/.venv-docs/bin/mkdocs" build --strict --clean -f "$ROOT/mkdocs.yml" 2>&1 | sed 's/^/   /'
  return "${PIPESTATUS[0]}"
}

case "${1:-build}" in
  build)
    docs_venv
    site_build ;;
  serve)
    docs_venv
    exec "$ROOT/.venv-docs/bin/mkdocs" serve --strict -f "$ROOT/mkdocs.yml" -a 127.0.0.1:8000 ;;
  check)
    command -v chromium >/dev/null 2>&1 || apt_install chromium
    docs_venv
    site_build
    if [ -z "${VOSTEL_BUILD_DIR:-}" ] || [ -z "${VOSTEL_DOCS_PYTHON:-}" ]; then
      install_system_packages
      build_for "$(find_python 3.11 || command -v python3)" 3.11 OFF all
      export VOSTEL_BUILD_DIR="$ROOT/build-3.11/python" VOSTEL_DOCS_PYTHON="$ROOT/.venv-3.11/bin/python"
    fi
    step "documentation tests (examples, messages, reference, screenshots)"
    VOSTEL_MKDOCS="$ROOT/.venv-docs/bin/mkdocs" "$VOSTEL_DOCS_PYTHON" -m pytest -q -p no:cacheprovider \
        tests/python/test_docs.py tests/python/test_readme_snippets.py ;;
  *)
    echo "usage: bash scripts/docs.sh [build|serve|check]" >&2; exit 2 ;;
esac
