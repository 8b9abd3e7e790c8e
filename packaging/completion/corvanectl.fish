# SPDX-License-Identifier: GPL-3.0-or-later
# fish completion for corvanectl: its commands and flags, and the names of
# servers, exits and sites from the user's agent when it runs (a completion
# never starts one, nor waits more than a few seconds).

function __corvanectl_names --argument-names want
    corvanectl agent status >/dev/null 2>&1; or return 0
    set -l command servers
    test "$want" = sites; and set command sites
    # --json is indented by two per level: the names of the list's entries are six in.
    timeout 3 corvanectl $command --json 2>/dev/null | awk -v want="$want" '
        /^  "[A-Za-z]+": / { section = $1; gsub(/[":]/, "", section) }
        section == want && /^      "name": "/ {
            sub(/^      "name": "/, ""); sub(/",?$/, ""); gsub(/\\\\"/, "\""); gsub(/\\\\\\\\/, "\\\\"); print
        }'
end

# True when the command line so far is `corvanectl COMMAND` followed by `count` more words.
function __corvanectl_at --argument-names command count
    set -l words (commandline -opc)
    test (count $words) -ge 2; and test "$words[2]" = $command; and test (count $words) -eq (math 2 + $count)
end

function __corvanectl_after --argument-names flag
    set -l words (commandline -opc)
    test "$words[-1]" = $flag
end

complete -c corvanectl -f
complete -c corvanectl -n __fish_use_subcommand -l version -d 'Print the version'
complete -c corvanectl -n __fish_use_subcommand -l help -d 'Print the commands'
complete -c corvanectl -n __fish_use_subcommand -a login -d 'Sign in to the panel'
complete -c corvanectl -n __fish_use_subcommand -a logout -d 'Forget the sign-in'
complete -c corvanectl -n __fish_use_subcommand -a servers -d 'The fleet'
complete -c corvanectl -n __fish_use_subcommand -a exits -d 'The exits of each server'
complete -c corvanectl -n __fish_use_subcommand -a connect -d 'Connect'
complete -c corvanectl -n __fish_use_subcommand -a disconnect -d 'Disconnect'
complete -c corvanectl -n __fish_use_subcommand -a status -d 'The state'
complete -c corvanectl -n __fish_use_subcommand -a watch -d 'Follow the state'
complete -c corvanectl -n __fish_use_subcommand -a pin -d 'Pin a server and protocol'
complete -c corvanectl -n __fish_use_subcommand -a route -d 'Change the route'
complete -c corvanectl -n __fish_use_subcommand -a smart-routing -d 'Send mainland China direct'
complete -c corvanectl -n __fish_use_subcommand -a lockdown -d 'Always require the tunnel'
complete -c corvanectl -n __fish_use_subcommand -a notifications -d 'Desktop notifications'
complete -c corvanectl -n __fish_use_subcommand -a autostart -d 'Start in the tray at login'
complete -c corvanectl -n __fish_use_subcommand -a sites -d 'The private sites'
complete -c corvanectl -n __fish_use_subcommand -a site -d 'Switch a private site'
complete -c corvanectl -n __fish_use_subcommand -a share -d 'Share the tunnel on the LAN'
complete -c corvanectl -n __fish_use_subcommand -a logs -d "The tunnel service's log"
complete -c corvanectl -n __fish_use_subcommand -a report -d 'Send a diagnostic report'
complete -c corvanectl -n __fish_use_subcommand -a update -d 'Ask for a newer version'
complete -c corvanectl -n __fish_use_subcommand -a agent -d "The user's agent"
complete -c corvanectl -n __fish_use_subcommand -a build-config -d 'Print an engine configuration'
complete -c corvanectl -n __fish_use_subcommand -a debug -d 'Sanitize a configuration, talk to the service'

complete -c corvanectl -n '__fish_seen_subcommand_from login' -l panel -x -d 'Panel address'
complete -c corvanectl -n '__fish_seen_subcommand_from login' -l email -x -d 'E-mail'
complete -c corvanectl -n '__fish_seen_subcommand_from login' -l password-stdin -d 'Read the password from standard input'
complete -c corvanectl -n '__fish_seen_subcommand_from login' -l file-store -d 'Keep the sign-in in a private file'
complete -c corvanectl -n '__fish_seen_subcommand_from servers exits status watch update sites share' -l json -d 'One JSON document'
complete -c corvanectl -n '__fish_seen_subcommand_from connect' -l wait -x -d 'Seconds to wait'
complete -c corvanectl -n '__corvanectl_at pin 0' -a 'auto (__corvanectl_names servers)'
complete -c corvanectl -n '__corvanectl_at pin 1; and not __corvanectl_after auto' -a 'reality hysteria2'
complete -c corvanectl -n '__fish_seen_subcommand_from route' -l entry -x -a 'auto (__corvanectl_names servers)' -d 'Entry server'
complete -c corvanectl -n '__fish_seen_subcommand_from route' -l exit -x -a 'original (__corvanectl_names exits)' -d 'Exit'
complete -c corvanectl -n '__fish_seen_subcommand_from route' -l protocol -x -a 'auto reality hysteria2' -d 'Protocol'
complete -c corvanectl -n '__corvanectl_at smart-routing 0' -a 'on off'
complete -c corvanectl -n '__corvanectl_at notifications 0' -a 'on off'
complete -c corvanectl -n '__corvanectl_at autostart 0' -a 'on off'
complete -c corvanectl -n '__fish_seen_subcommand_from autostart' -l json -d 'One JSON document'
complete -c corvanectl -n '__corvanectl_at lockdown 0' -a 'on off'
complete -c corvanectl -n '__corvanectl_at lockdown 1; and __corvanectl_after on' -l allow-lan -d 'Keep the LAN reachable'
complete -c corvanectl -n '__corvanectl_at site 0' -a 'on off'
complete -c corvanectl -n '__corvanectl_at site 1' -a '(__corvanectl_names sites)'
complete -c corvanectl -n '__corvanectl_at share 0' -a 'on off new-password show'
complete -c corvanectl -n '__fish_seen_subcommand_from logs' -l follow -d 'Go on printing new lines'
complete -c corvanectl -n '__fish_seen_subcommand_from logs' -l level -x -a 'all warn error' -d 'Lowest level shown'
complete -c corvanectl -n '__fish_seen_subcommand_from report' -l preview -d 'Print it, send nothing'
complete -c corvanectl -n '__corvanectl_at agent 0' -a 'status stop'
complete -c corvanectl -n '__corvanectl_at agent 1; and __corvanectl_after stop' -l disconnect -d 'Disconnect first'
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l server-list -r -F -d 'Server list (- for standard input)'
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l no-smart-routing
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l no-rule-sets
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l lan-listen -x -d 'LAN share address'
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l lan-password-stdin
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l lan-password-file -r -F
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l clash-listen -x
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l probe-url -x
complete -c corvanectl -n '__fish_seen_subcommand_from build-config' -l resolver -x
complete -c corvanectl -n '__corvanectl_at debug 0' -a 'sanitize tunnel'
complete -c corvanectl -n '__fish_seen_subcommand_from sanitize' -l config -r -F
complete -c corvanectl -n '__fish_seen_subcommand_from sanitize' -l panel-host -x
complete -c corvanectl -n '__fish_seen_subcommand_from tunnel; and __fish_seen_subcommand_from debug' -a 'status start stop logs recover'
complete -c corvanectl -n '__fish_seen_subcommand_from tunnel; and __fish_seen_subcommand_from debug' -l socket -r -F
complete -c corvanectl -n '__fish_seen_subcommand_from start' -l config -r -F
complete -c corvanectl -n '__fish_seen_subcommand_from tunnel; and __fish_seen_subcommand_from debug' -l follow
