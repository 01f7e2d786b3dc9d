#!/usr/bin/env bash
# A session to try the client: builds both programs, starts the stand-in server on a FIFO in a
# private temporary folder, and the client on this terminal. Type commands; Ctrl-D ends the
# session, Ctrl-C interrupts it. Where tmux is installed the screen is split, the client above and
# what the server receives below; elsewhere the server's output is shown once the client has
# ended. Either way the server is stopped and the folder removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
if [ -z "${DEMO_IN_TMUX-}" ]; then
    need g++ cmake make
    # A first build leaves the tests out, so that the demo needs no GoogleTest; tools/test.sh
    # turns them on in the same folder.
    echo "demo : construction de client et command-server dans build/ (quelques secondes la première fois)"
    [ -f build/CMakeCache.txt ] || cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
    cmake --build build -j "$(nproc)" --target client command-server | sed '/Built target/d'
fi


# The split screen is a tmux server of the demo's own, so the user's sessions and settings are
# left alone; this same script runs the session in it. -u: the terminal takes UTF-8 even where no
# locale says so (LANG unset), else tmux shows every accented letter as "_". A session that loses
# its terminal (a window shut, a lost ssh connection) is destroyed, which hangs up the client, the
# server and tail too. tmux's own "[exited]" at the end goes to /dev/null: it draws on the
# terminal through a descriptor of its own.
if [ -z "${DEMO_IN_TMUX-}" ] && command -v tmux >/dev/null && [ -t 0 ] && [ -t 1 ]; then
    env -u TMUX tmux -u -L "client-demo-$$" -f /dev/null new-session -- \
        env DEMO_IN_TMUX=1 "$PWD/tools/demo.sh" \; set-option destroy-unattached on >/dev/null
    echo "demo : terminée ; le serveur est arrêté et son répertoire supprimé."
    exit
fi

private_dir
# However the session ends, the server's half closes with it, and with it the whole screen.
if [ -n "${DEMO_IN_TMUX-}" ]; then
    trap 'cleanup; tmux kill-pane -a' EXIT
fi
log=$temp/serveur.log
start_server "$temp/canal" "$log" build/command-server
if [ -n "${DEMO_IN_TMUX-}" ]; then
    tmux set-option -g status off \; set-option -g pane-border-status top \
        \; set-option -g pane-border-format ' #{pane_title} '
    tmux split-window -d -v -l '35%' -- tail -n +1 -f "$log" \
        \; select-pane -t '{bottom}' -T "serveur : ce qu'il reçoit" \
        \; select-pane -t '{top}' -T "client : tapez vos commandes ; Ctrl-D pour terminer, Ctrl-C pour interrompre"
else
    echo "demo : ce que reçoit le serveur s'affichera à la fin ; pour le suivre en direct, dans"
    echo "       un autre terminal : tail -f $log"
fi
echo "demo : le client démarre (pause de 2 s). Ctrl-D termine la session (le client"
echo "       envoie « ctrld ») ; Ctrl-C l'interrompt (sans « ctrld »). La démo dit ensuite"
if [ -n "${DEMO_IN_TMUX-}" ]; then
    echo "       comment le client a fini, et Entrée la ferme."
else
    echo "       comment le client a fini, et montre ce que le serveur a reçu."
fi

# Ctrl-C ends the client, which keeps the default disposition; the demo goes on to its end. The
# client ends by killing itself; keep the shell's "Killed" report out of the way.
trap : INT
exec 3>&2
status=0
{ build/client "$temp/canal" 2>&3 || status=$?; } 2>/dev/null
trap - INT
sleep 0.2
echo
case $status in
137) echo "demo : fin du client, code de retour 137 (tué par SIGKILL : sa fin normale)" ;;
130) echo "demo : client interrompu par Ctrl-C, code de retour 130 (sans « ctrld »)" ;;
*) echo "demo : fin du client, code de retour $status" ;;
esac
if [ -n "${DEMO_IN_TMUX-}" ]; then
    read -rp "demo : Entrée pour quitter " _ || true
else
    echo "demo : le serveur a reçu :"
    stop_server
    sed 's/^/    /' "$log"
fi
