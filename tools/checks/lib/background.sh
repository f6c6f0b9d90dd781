# Sourced by the checks that compile in parallel: commands started in the background, each with
# its output in a log, then waited for, every failure reported with its log.
#
#   started MESSAGE LOG COMMAND...   runs COMMAND (a program or a function) in the background,
#                                    its output into LOG; MESSAGE is what a failure says
#   finished                         waits for every command started since the last call; prints
#                                    the message and the log of each that failed; status 1 if any

BACKGROUND=()

started() {
    local message=$1 log=$2
    shift 2
    "$@" >"$log" 2>&1 &
    BACKGROUND+=("$!|$log|$message")
}

finished() {
    local entry pid log message status=0
    for entry in "${BACKGROUND[@]}"; do
        IFS='|' read -r pid log message <<<"$entry"
        if ! wait "$pid"; then
            echo "$message" >&2
            cat "$log" >&2
            status=1
        fi
    done
    BACKGROUND=()
    return "$status"
}
