# SPDX-License-Identifier: GPL-3.0-or-later
# bash completion for corvanectl: its commands and flags, and the names of
# servers, exits and sites from the user's agent when it runs (a completion
# never starts one, nor waits more than a few seconds).

# _corvanectl_names servers|exits|sites: one name a line.
_corvanectl_names() {
    corvanectl agent status >/dev/null 2>&1 || return 0
    local command=servers
    [ "$1" = sites ] && command=sites
    # --json is indented by two per level: the names of the list's entries are six in.
    timeout 3 corvanectl "$command" --json 2>/dev/null | awk -v want="$1" '
        /^  "[A-Za-z]+": / { section = $1; gsub(/[":]/, "", section) }
        section == want && /^      "name": "/ {
            sub(/^      "name": "/, ""); sub(/",?$/, ""); gsub(/\\"/, "\""); gsub(/\\\\/, "\\"); print
        }'
}

# _corvanectl_offer WORD...: the words that start with the current one, quoted for the shell.
_corvanectl_offer() {
    local word
    for word in "$@"; do
        [[ $word == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$word")")
    done
}

_corvanectl() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command=${COMP_WORDS[1]} position=$COMP_CWORD
    local IFS=$'\n'
    COMPREPLY=()
    if ((position == 1)); then
        _corvanectl_offer login logout servers exits connect disconnect status watch pin route smart-routing \
            lockdown sites site share logs report update notifications autostart agent build-config debug \
            --version --help
        return
    fi
    case $command in
    login)
        [[ $prev == --panel || $prev == --email ]] && return
        _corvanectl_offer --panel --email --password-stdin --file-store --help ;;
    servers | exits | status | watch | update | sites)
        _corvanectl_offer --json --help ;;
    connect)
        [[ $prev == --wait ]] && return
        _corvanectl_offer --wait --help ;;
    logout | disconnect)
        _corvanectl_offer --help ;;
    pin)
        if ((position == 2)); then
            _corvanectl_offer auto $(_corvanectl_names servers) --help
        elif ((position == 3)) && [[ $prev != auto ]]; then
            _corvanectl_offer reality hysteria2
        fi ;;
    route)
        case $prev in
        --entry) _corvanectl_offer auto $(_corvanectl_names servers) ;;
        --exit) _corvanectl_offer original $(_corvanectl_names exits) ;;
        --protocol) _corvanectl_offer auto reality hysteria2 ;;
        *) _corvanectl_offer --entry --exit --protocol --help ;;
        esac ;;
    smart-routing | notifications)
        ((position == 2)) && _corvanectl_offer on off --help ;;
    autostart)
        _corvanectl_offer on off --json --help ;;
    lockdown)
        if ((position == 2)); then
            _corvanectl_offer on off --help
        elif ((position == 3)) && [[ $prev == on ]]; then
            _corvanectl_offer --allow-lan
        fi ;;
    site)
        if ((position == 2)); then
            _corvanectl_offer on off --help
        elif ((position == 3)); then
            _corvanectl_offer $(_corvanectl_names sites)
        fi ;;
    share)
        if ((position == 2)); then
            _corvanectl_offer on off new-password show --help
        else
            _corvanectl_offer --json
        fi ;;
    logs)
        if [[ $prev == --level ]]; then
            _corvanectl_offer all warn error
        else
            _corvanectl_offer --follow --level --help
        fi ;;
    report)
        _corvanectl_offer --preview --help ;;
    agent)
        if ((position == 2)); then
            _corvanectl_offer status stop --help
        elif [[ ${COMP_WORDS[2]} == stop ]]; then
            _corvanectl_offer --disconnect
        fi ;;
    build-config)
        case $prev in
        --server-list | --lan-password-file) COMPREPLY=($(compgen -f -- "$cur")) ;;
        --lan-listen | --clash-listen | --probe-url | --resolver) ;;
        *) _corvanectl_offer --server-list --no-smart-routing --no-rule-sets --lan-listen --lan-password-stdin \
            --lan-password-file --clash-listen --probe-url --resolver --help ;;
        esac ;;
    debug)
        if ((position == 2)); then
            _corvanectl_offer sanitize tunnel
        elif [[ $prev == --config || $prev == --socket ]]; then
            COMPREPLY=($(compgen -f -- "$cur"))
        elif [[ ${COMP_WORDS[2]} == sanitize ]]; then
            _corvanectl_offer --config --panel-host
        else
            _corvanectl_offer --socket status start stop logs recover --config --follow
        fi ;;
    esac
}
complete -F _corvanectl corvanectl
