# Sourced by the checks that fetch Debian 11 (bullseye) packages: the Debian archive taken from
# the machine's own apt configuration, and apt run with a private sources list and private state,
# so that the machine's configuration, lists and cache stay as they are.
#
#   debian_archives                    prints "main URI" and "security URI" lines, one per archive
#                                      the machine's apt configuration names (deb822 .sources files
#                                      and the one-line sources.list format alike)
#   debian_apt_setup DIR SUITE TYPE    writes DIR/sources.list for SUITE (and SUITE-security, where
#                                      the configuration names a security archive) with entries of
#                                      TYPE (deb or deb-src), and sets APT_OPTS to the options
#                                      that make apt-get and apt-cache use DIR alone
#
# Each fails with a message naming the files it read when the configuration names no Debian archive.

DEBIAN_APT_CONFIG=(/etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)

debian_archives() {
    local file found=()
    for file in "${DEBIAN_APT_CONFIG[@]}"; do
        [[ -f "$file" ]] && found+=("$file")
    done
    ((${#found[@]})) || return 0
    # deb822 stanzas (blank-line separated, "Key: value") and one-line entries; only binary
    # ("deb") entries of a Debian archive, told by its suites: the security archive serves
    # SUITE-security, the main one SUITE and SUITE-updates.
    awk '
        function flush() {
            if (types ~ /(^| )deb( |$)/ && uris != "" && enabled !~ /^(no|false)$/) {
                n = split(uris, u, " ")
                for (i = 1; i <= n; i++) emit(u[i], suites)
            }
            types = ""; uris = ""; suites = ""; enabled = ""
        }
        function emit(uri, suites) {
            sub(/\/+$/, "", uri)
            if (uri !~ /^https?:\/\//) return
            if (suites ~ /-security( |$)/) kind = "security"
            else if (suites ~ /(^| )(bookworm|bullseye|trixie|buster|stable|oldstable|testing|sid|unstable)(-updates)?( |$)/) kind = "main"
            else return
            if (!seen[kind " " uri]++) print kind, uri
        }
        FNR == 1 { flush() }
        /^[ \t]*#/ { next }
        FILENAME ~ /\.sources$/ {
            if ($0 ~ /^[ \t]*$/) { flush(); next }
            key = tolower($1); value = $0; sub(/^[^:]*:[ \t]*/, "", value)
            if (key == "types:") types = value
            else if (key == "uris:") uris = value
            else if (key == "suites:") suites = value
            else if (key == "enabled:") enabled = tolower(value)
            next
        }
        $1 == "deb" {
            # deb [options] URI SUITE COMPONENT...
            i = 2
            if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            emit($i, $(i + 1))
        }
        END { flush() }
    ' "${found[@]}"
}

debian_apt_setup() {
    local dir=$1 suite=$2 type=$3 kind uri lines=()
    while read -r kind uri; do
        case "$kind" in
            main) lines+=("$type [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main") ;;
            security) lines+=("$type [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite-security main") ;;
        esac
    done < <(debian_archives)
    if ! printf '%s\n' "${lines[@]}" | grep -q " $suite main$"; then
        echo "no Debian archive found in the machine's apt configuration (${DEBIAN_APT_CONFIG[*]}):" >&2
        echo "  a 'deb' entry (or a deb822 stanza with 'Types: deb' and 'URIs:') for a Debian release is needed" >&2
        echo "  to fetch Debian $suite's packages from the same archive" >&2
        return 1
    fi
    mkdir -p "$dir/lists/partial" "$dir/parts" "$dir/cache/archives/partial" "$dir/prefs"
    printf '%s\n' "${lines[@]}" >"$dir/sources.list"
    : >"$dir/status"
    # Check-Valid-Until: a retired release's indexes outlive their dates on archive mirrors.
    APT_OPTS=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts="$dir/parts"
              -o Dir::Etc::Preferences="$dir/prefs/none" -o Dir::Etc::PreferencesParts="$dir/prefs"
              -o Dir::State::Lists="$dir/lists" -o Dir::State::status="$dir/status"
              -o Dir::Cache="$dir/cache" -o APT::Architecture=amd64 -o APT::Architectures::=amd64
              -o Acquire::Check-Valid-Until=false -o Acquire::Retries=2 -o Acquire::http::Timeout=30
              -o Acquire::Languages=none)
}
