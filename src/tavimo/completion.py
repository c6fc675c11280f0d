"""Shell completion scripts for bash, zsh and fish, made from the command's own argument
parser, so that they always offer the commands, options and choices it has."""

import argparse
import re


class Option:
    """An option of a command: its strings, its help, and what its value takes."""

    def __init__(self, action):
        self.strings = list(action.option_strings)
        self.takes_value = action.nargs != 0
        self.choices = [str(choice) for choice in action.choices or ()]
        self.help = short_help(action.help)
        self.metavar = (action.metavar or action.dest).lower()
        self.takes_files = self.takes_value and self.metavar == "file"


class Command:
    """A command (or the program itself, named ""): its options and positionals."""

    def __init__(self, name, parser, help_text=""):
        self.name = name
        self.help = short_help(help_text)
        self.options = []
        self.positionals = []
        for action in parser._actions:
            if isinstance(action, argparse._SubParsersAction):
                continue
            if action.option_strings:
                self.options.append(Option(action))
            else:
                self.positionals.append(action)

    def takes_files(self):
        return any(action.metavar == "FILE" for action in self.positionals)

    def positional_choices(self):
        return [str(choice) for action in self.positionals for choice in action.choices or ()]


def short_help(text):
    """The first clause of a help text, for the one-line descriptions of zsh."""
    text = " ".join((text or "").split())
    return re.split(r"[;:(]| - ", text)[0].strip().rstrip(",.")


def commands_of(parser):
    top = Command("", parser)
    commands = []
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            helps = {choice.dest: choice.help for choice in action._choices_actions}
            for name, sub in action.choices.items():
                commands.append(Command(name, sub, helps.get(name, "")))
    return top, commands


# File names as bash completes them: one a line (a name may hold blanks), typed with
# backslashes or after an opening quote, and quoted by bash when it puts them in.
BASH_FILES = (
    "compopt -o filenames 2>/dev/null; local IFS=$'\\n' word=${cur//\\\\/}; "
    "word=${word#[\\\"\\']}; "
    'COMPREPLY=($(compgen -f -- "$word"))'
)


def bash_case(options):
    """The case arms that complete an option's value, for bash."""
    arms = []
    for option in options:
        if option.takes_value:
            words = " ".join(option.choices)
            if option.takes_files:
                action = BASH_FILES
            elif words:
                action = 'COMPREPLY=($(compgen -W "{}" -- "$cur"))'.format(words)
            else:
                action = "COMPREPLY=()"
            arms.append("            {}) {}; return ;;".format("|".join(option.strings), action))
    return arms


def bash_script(parser):
    top, commands = commands_of(parser)
    names = [command.name for command in commands]
    lines = [
        "# bash completion of tavimo: source <(tavimo completion bash)",
        "_tavimo() {",
        '    local cur="${COMP_WORDS[COMP_CWORD]}" prev="${COMP_WORDS[COMP_CWORD-1]}"',
        '    local command="" i',
        "    for ((i = 1; i < COMP_CWORD; i++)); do",
        '        case "${COMP_WORDS[i]}" in',
        "            {}) command=${{COMP_WORDS[i]}}; break ;;".format("|".join(names)),
        "        esac",
        "    done",
        '    case "$command" in',
    ]
    for command in [top] + commands:
        options = [string for option in command.options for string in option.strings]
        lines.append('        "{}")'.format(command.name))
        lines.append('            case "$prev" in')
        lines += ["    " + arm for arm in bash_case(command.options)]
        lines.append("            esac")
        if command.takes_files():
            others = [BASH_FILES]
        else:
            words = names if command is top else command.positional_choices()
            others = ['COMPREPLY=($(compgen -W "{}" -- "$cur"))'.format(" ".join(words))]
        lines += [
            "            if [[ $cur == -* ]]; then",
            '                COMPREPLY=($(compgen -W "{}" -- "$cur"))'.format(" ".join(options)),
            "            else",
            *("                " + line for line in others),
            "            fi ;;",
        ]
    lines += ["    esac", "}", "complete -F _tavimo tavimo", ""]
    return "\n".join(lines)


def zsh_quote(text):
    return (
        text.replace("\\", "\\\\")
        .replace("'", "'\\''")
        .replace("[", "\\[")
        .replace("]", "\\]")
        .replace(":", "\\:")
    )


def zsh_specs(command):
    specs = []
    for option in command.options:
        value = ""
        if option.takes_value:
            value = ":{}:{}".format(
                option.metavar,
                "({})".format(" ".join(option.choices))
                if option.choices
                else "_files"
                if option.takes_files
                else " ",
            )
        help_text = zsh_quote(option.help)
        if option.strings[0] in ("-h", "-V"):
            exclusive = "(- *)"
        else:
            exclusive = "({})".format(" ".join(option.strings)) if len(option.strings) > 1 else ""
        names = (
            "{" + ",".join(option.strings) + "}" if len(option.strings) > 1 else option.strings[0]
        )
        specs.append("'{}'{}'[{}]{}'".format(exclusive, names, help_text, value))
    if command.takes_files():
        specs.append("':file:_files'")
    elif command.positional_choices():
        specs.append(
            "':{}:({})'".format(command.positionals[0].dest, " ".join(command.positional_choices()))
        )
    return specs


def zsh_script(parser):
    top, commands = commands_of(parser)
    described = " ".join(
        "'{}:{}'".format(command.name, zsh_quote(command.help)) for command in commands
    )
    lines = [
        "#compdef tavimo",
        "# zsh completion of tavimo: tavimo completion zsh > ~/.zfunc/_tavimo",
        "_tavimo() {",
        "    local state line",
        "    local -a commands",
        "    commands=({})".format(described),
        "    _arguments -C \\",
    ]
    lines += ["        {} \\".format(spec) for spec in zsh_specs(top)]
    lines += [
        "        '1: :->command' \\",
        "        '*:: :->arguments'",
        "    case $state in",
        "        command) _describe command commands ;;",
        "        arguments)",
        "            case $words[1] in",
    ]
    for command in commands:
        specs = zsh_specs(command)
        lines.append("                {}) _arguments {} ;;".format(command.name, " ".join(specs)))
    lines += ["            esac ;;", "    esac", "}", '_tavimo "$@"', ""]
    return "\n".join(lines)


def fish_quote(text):
    return "'{}'".format(text.replace("\\", "\\\\").replace("'", "\\'"))


def fish_option(condition, option):
    """The `complete` line of an option, for fish."""
    words = ["complete -c tavimo", "-n " + fish_quote(condition)]
    for string in option.strings:
        words.append("-s " + string[1:] if len(string) == 2 else "-l " + string[2:])
    if option.takes_files:
        words.append("-r -F")
    elif option.takes_value:
        words.append("-x")
        if option.choices:
            words.append("-a " + fish_quote(" ".join(option.choices)))
    if option.help:
        words.append("-d " + fish_quote(option.help))
    return " ".join(words)


def fish_script(parser):
    top, commands = commands_of(parser)
    lines = [
        "# fish completion of tavimo: "
        "tavimo completion fish > ~/.config/fish/completions/tavimo.fish",
        "complete -c tavimo -e",
        "complete -c tavimo -f",  # no file names, but where a command takes them
    ]
    lines += [fish_option("__fish_use_subcommand", option) for option in top.options]
    for command in commands:
        lines.append(
            "complete -c tavimo -n __fish_use_subcommand -a {} -d {}".format(
                command.name, fish_quote(command.help)
            )
        )
    for command in commands:
        condition = "__fish_seen_subcommand_from " + command.name
        lines += [fish_option(condition, option) for option in command.options]
        if command.takes_files():
            lines.append("complete -c tavimo -n {} -F".format(fish_quote(condition)))
        elif command.positional_choices():
            lines.append(
                "complete -c tavimo -n {} -a {}".format(
                    fish_quote(condition), fish_quote(" ".join(command.positional_choices()))
                )
            )
    return "\n".join(lines) + "\n"


def script(shell, parser):
    return {"bash": bash_script, "zsh": zsh_script, "fish": fish_script}[shell](parser)
