# Sourced by the set-up scripts: installs what is missing and gives Qt the private runtime
# folder it wants (without one it warns on every start).
bash "$(dirname "${BASH_SOURCE[0]}")/install-deps.sh"
if [[ -z "${XDG_RUNTIME_DIR:-}" ]]; then
    XDG_RUNTIME_DIR=$(mktemp -d /tmp/zelstats-runtime.XXXXXX)
    chmod 700 "$XDG_RUNTIME_DIR"
    export XDG_RUNTIME_DIR
fi
