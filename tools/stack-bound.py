#!/usr/bin/env python3
"""The worst-case stack of the image, from the compiler's own figures; fails when a stack cannot hold it.

Usage: stack-bound.py BUILD_DIR ELF [--task FUNCTION THREAD_DEF] [--figures FILE]

Prints the bounds with their deepest paths (Markdown); --figures writes task_bound_bytes, task_stack_bytes,
main_bound_bytes and main_stack_bytes as name,value lines.

Every firmware object of the chip build comes with a .ci file (-fcallgraph-info=su): each function's frame
and the calls it makes. A library function the image links (the start-up's __libc_init_array; memcpy and
the like are the firmware's own, platform/stm32f413/string.cpp) has none: its frame and calls are read from
its machine code instead (push, vpush, sub sp; bl, b.w). An indirect call goes to a function whose address the image stores (its tables, its
literal pools) and whose parameters match the pointer's type, given below per function that calls through
a pointer; any other is a call through an object's interface (a virtual call), which goes to every entry
of the image's vtables with a name called on the call's source line. A pointer call that is
neither stops the script.

Two bounds are checked:
- the task: the deepest path from MainTask, plus one exception frame that an interrupt stacks on the task's
  stack, must fit the stack MainTask is created with (os_thread_def_Task01); --task names another image's
  task function and its thread definition (the bootloader's);
- the main stack: the deepest path from Reset_Handler (start-up, which also runs until the kernel abandons
  the main stack), plus the deepest chain of nested handlers, each with its exception frame, must fit the
  linker script's reserve (_Min_Stack_Size). A handler preempts only a less urgent one, so a chain holds at
  most one handler of each preemption level (PREEMPTION_LEVELS): the deepest of each level, stacked.
Exception frames are counted as floating-point frames (26 words) plus the 4 bytes of alignment padding.
"""
import collections
import pathlib
import re
import struct
import subprocess
import sys

FP_FRAME = 26 * 4 + 4

# Preemption level of the handlers, most urgent lowest, as the architecture fixes them (NMI, HardFault) and
# the firmware sets them: SysTick the lowest (main_node writes SHP[11] = 0xF0); every peripheral interrupt it
# enables at 0 (bxcan's and serial's NVIC_SetPriority(irq, 0)); MemManage, BusFault and UsageFault are never
# enabled (SHCSR stays 0), so they escalate to HardFault. Handlers not named here are at 0: the peripheral
# ones, and those that never run (SVC, PendSV, DebugMon, the default handler of interrupts nobody enables),
# where level 0 is the worst they could take.
PREEMPTION_LEVELS = {
    "NMI_Handler": -2,
    "HardFault_Handler": -1,
    "MemManage_Handler": -1,
    "BusFault_Handler": -1,
    "UsageFault_Handler": -1,
    "SysTick_Handler": 15,
}

# Function (demangled name, parameters left out) -> mangled parameter lists of the pointers it calls.
INDIRECT_CALLS = {
    "xportHandleRxFrame_internal": [
        "PK13XportInstancePyt17XportTransferTypeh",  # XportShouldAcceptTransfer
        "P13XportInstanceP15XportRxTransfer",  # XportOnTransferReception
    ],
    "coreFatalStop": ["v"],  # the fatal-stop hook
    "coreBreakpoint": ["v"],
}


def run(*args: str) -> str:
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


class Image:
    def __init__(self, elf: str):
        self.elf = elf
        self.data = pathlib.Path(elf).read_bytes()
        self.symbols = {}  # name -> (address, size, type)
        for line in run("arm-none-eabi-nm", "-S", elf).splitlines():
            parts = line.split()
            if len(parts) == 4:
                self.symbols[parts[3]] = (int(parts[0], 16), int(parts[1], 16), parts[2])
            elif len(parts) == 3:
                self.symbols[parts[2]] = (int(parts[0], 16), 0, parts[1])
        self.functions = {a: n for n, (a, s, t) in self.symbols.items() if t in "Tt" and s > 0}
        self.sections = {}
        for m in re.finditer(r"\]\s+(\S+)\s+(\S+)\s+([0-9a-f]{8}) ([0-9a-f]{6}) ([0-9a-f]{6})",
                             run("arm-none-eabi-readelf", "-SW", elf)):
            name, kind, addr, off, size = m.groups()
            if kind in ("PROGBITS", "INIT_ARRAY"):
                self.sections[name] = (int(addr, 16), int(off, 16), int(size, 16))

    def words(self, section: str):
        addr, off, size = self.sections[section]
        for i in range(0, size - size % 4, 4):
            yield addr + i, struct.unpack_from("<I", self.data, off + i)[0]

    def word_at(self, address: int) -> int:
        for addr, off, size in self.sections.values():
            if addr <= address < addr + size:
                return struct.unpack_from("<I", self.data, off + address - addr)[0]
        raise KeyError(hex(address))

    def thumb_targets(self, section: str):
        return [self.functions[w - 1] for _, w in self.words(section) if w & 1 and (w - 1) in self.functions]


def bare(title: str) -> str:
    """The symbol of a call graph title: file-local functions' titles start with their file and a colon."""
    return title.rsplit(":", 1)[-1]


def demangled_base(name: str) -> str:
    """A function's name alone: no namespace, template arguments, return type or parameters."""
    text = run("arm-none-eabi-c++filt", bare(name)).strip().replace("(anonymous namespace)::", "")
    while re.search(r"<[^<>]*>", text):
        text = re.sub(r"<[^<>]*>", "", text)
    return text.split("(")[0].split()[-1].split("::")[-1]


def mangled_params(name: str) -> str:
    """The parameter list of a mangled function name: what follows its (possibly nested) name."""
    m = re.match(r"_Z(?:N(?:\d+_GLOBAL__N_1)?)?(\d+)", name)
    if not m:
        return ""
    n = int(m.group(1))
    rest = name[m.end() + n:]
    return rest[1:] if name.startswith("_ZN") and rest.startswith("E") else rest


def linked_callgraphs(build: str, elf: str):
    """The .ci files of the objects the linker map of `elf` says went into it: the build holds other
    programs too (the bootloader has a main of its own), whose functions must not stand in for the image's."""
    linked = set()
    for line in pathlib.Path(elf).with_suffix(".map").read_text().splitlines():
        if m := re.match(r"(\S+)/lib([^/]+)\.a\((\S+)\.obj\)", line):  # an archive member, by its base name
            linked.add((f"{m.group(1)}/CMakeFiles/{m.group(2)}.dir", m.group(3)))
        elif m := re.match(r"LOAD (\S+)\.obj$", line):
            linked.add(m.group(1))
    files = []
    for ci in sorted(pathlib.Path(build).rglob("*.ci")):
        rel = ci.relative_to(build).with_suffix("")
        in_archive = any((str(parent), rel.name) in linked for parent in rel.parents)
        if in_archive or str(rel) in linked:
            files.append(ci)
    return files


def read_callgraph(files):
    """Frames and calls of every function the compiler reports, by (file, name) for file-local ones."""
    frames, calls, defined_in = {}, collections.defaultdict(set), collections.defaultdict(set)
    indirect_sites = collections.defaultdict(set)  # (file, caller) -> "path:line:column" of each pointer call
    node_re = re.compile(r'node: \{ title: "([^"]+)" label: "([^"]*)"')
    edge_re = re.compile(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)" label: "([^"]*)"')
    per_file = []
    for ci in files:
        local = {}
        edges = []
        for line in ci.read_text().splitlines():
            if m := node_re.match(line):
                title, label = m.groups()
                if f := re.search(r"(\d+) bytes \((static|dynamic,bounded|dynamic)\)", label):
                    if f.group(2) == "dynamic":
                        sys.exit(f"stack-bound: {title} has a frame of unbounded size")
                    local[title] = int(f.group(1))
            elif m := edge_re.match(line):
                edges.append(m.groups())
        for title, size in local.items():
            key = (str(ci), title)
            frames[key] = size
            defined_in[title].add(key)
            defined_in[bare(title)].add(key)
        per_file.append((str(ci), local, edges))
    for ci, local, edges in per_file:
        for src, dst, label in edges:
            calls[(ci, src)].add(dst)
            if dst == "__indirect_call":
                indirect_sites[(ci, src)].add(label)
    return frames, calls, defined_in, indirect_sites


def called_names(site: str):
    """The names called on the source line of a call's position (the compiler may place a call nested in
    another call's arguments at the outer one)."""
    path, line, _ = site.rsplit(":", 2)
    return re.findall(r"(\w+)\s*\(", pathlib.Path(path).read_text().splitlines()[int(line) - 1])


def machine_code_frame(image: Image, name: str):
    """Frame size and callees of a function without compiler figures, from its instructions."""
    addr, size, _ = image.symbols[name]
    text = run("arm-none-eabi-objdump", "-d", f"--start-address={addr}", f"--stop-address={addr + size}",
               image.elf)
    frame, callees, indirect = 0, set(), False
    for line in text.splitlines():
        if m := re.search(r"\t(push|stmdb)(?:\.w)?\s+(?:sp!, )?\{([^}]*)\}", line):
            frame += 4 * len(m.group(2).split(","))
        elif m := re.search(r"\tvpush\s+\{([^}]*)\}", line):
            regs = m.group(1)
            span = re.match(r"([sd])(\d+)(?:-[sd](\d+))?", regs.strip())
            count = (int(span.group(3) or span.group(2)) - int(span.group(2)) + 1) if span else 1
            frame += count * (8 if span and span.group(1) == "d" else 4)
        elif m := re.search(r"\tsub(?:\.w)?\s+sp, (?:sp, )?#(\d+)", line):
            frame += int(m.group(1))
        elif m := re.search(r"\t(?:bl|b\.w|b)\s+[0-9a-f]+ <([^>+]+)>", line):
            if m.group(1) != name:
                callees.add(m.group(1))
        elif re.search(r"\tblx\s+r\d+", line):
            indirect = True
    return frame, callees, indirect


def main() -> None:
    build, elf = sys.argv[1], sys.argv[2]
    figures_file = sys.argv[sys.argv.index("--figures") + 1] if "--figures" in sys.argv else None
    image = Image(elf)
    frames, calls, defined_in, indirect_sites = read_callgraph(linked_callgraphs(build, elf))

    vectors = [w for _, w in image.words(".isr_vector")][1:]  # entry 0 is the initial stack pointer
    handlers = sorted({image.functions[w - 1] for w in vectors if w & 1 and (w - 1) in image.functions} -
                      {"Reset_Handler"})
    taken = set()
    for section in image.sections:
        if section != ".isr_vector":
            taken.update(image.thumb_targets(section))
    init_functions = image.thumb_targets(".init_array") if ".init_array" in image.sections else []
    # The firmware has no static constructors: a table entry here is a global whose value start-up must
    # compute (a register block held in a variable, say), which costs flash and RAM and runs before main.
    if init_functions:
        sys.exit(f"stack-bound: start-up would run constructors: {', '.join(sorted(init_functions))}")

    # Every vtable's entries by their names.
    virtual_methods = collections.defaultdict(set)
    for name, (addr, size, _) in image.symbols.items():
        if name.startswith("_ZTV") and size > 0:
            for offset in range(0, size, 4):
                w = image.word_at(addr + offset)
                if w & 1 and (w - 1) in image.functions:
                    method = image.functions[w - 1]
                    virtual_methods[demangled_base(method)].add(method)

    def targets_of(pointer_params: str):
        # None found: the image never takes the address of such a function, so the pointer is never set
        # (the bootloader sets no fatal-stop hook) and the call never made.
        return sorted(f for f in taken if mangled_params(f) == pointer_params and f not in handlers)

    # Resolves a call from `key`'s file to `name`: the file's own definition first, then the image's.
    def resolve(key, name):
        if (key[0], name) in frames:
            return (key[0], name)
        keys = sorted(defined_in.get(name, ()))
        if keys:
            return max(keys, key=lambda k: frames[k])
        return ("<image>", name)

    library = {}

    def node(key):
        """(frame, callees) of a function."""
        if key in frames:
            callees = []
            for dst in calls.get(key, ()):
                if dst == "__indirect_call":
                    base = demangled_base(key[1])
                    if base in INDIRECT_CALLS:
                        for params in INDIRECT_CALLS[base]:
                            callees += [resolve(key, t) for t in targets_of(params)]
                        continue
                    for site in sorted(indirect_sites[key]):
                        methods = set().union(*(virtual_methods.get(n, set()) for n in called_names(site)))
                        if not methods:
                            sys.exit(f"stack-bound: {base} calls through a pointer at {site}, neither a vtable's "
                                     "entry nor a type in INDIRECT_CALLS")
                        callees += [resolve(key, t) for t in sorted(methods)]
                else:
                    callees.append(resolve(key, dst))
            return frames[key], callees
        name = key[1]
        if name not in library:
            if name not in image.symbols:
                sys.exit(f"stack-bound: no figures and no code for {name}")
            frame, callees, indirect = machine_code_frame(image, name)
            targets = [("<image>", c) for c in sorted(callees)]
            if indirect:
                if name != "__libc_init_array":
                    sys.exit(f"stack-bound: library function {name} calls through a pointer")
                targets += [resolve(("<image>", f), f) for f in init_functions]
            library[name] = (frame, targets)
        frame, callees = library[name]
        return frame, [resolve(("<image>", c[1]), c[1]) if c[0] == "<image>" else c for c in callees]

    memo = {}

    def deepest(key, path=()):
        """(bytes, [function names]) of the deepest path starting at key."""
        if key in path:
            sys.exit("stack-bound: recursion: " + " -> ".join(demangled_base(k[1]) for k in path + (key,)))
        if key in memo:
            return memo[key]
        frame, callees = node(key)
        best = (0, [])
        for c in callees:
            d = deepest(c, path + (key,))
            if d[0] > best[0]:
                best = d
        memo[key] = (frame + best[0], [key[1]] + best[1])
        return memo[key]

    def root(name):
        return resolve(("<image>", name), name)

    def pretty(path):
        return " -> ".join(demangled_base(n) for n in path)

    task_function, task_definition = "MainTask", "os_thread_def_Task01"
    if "--task" in sys.argv:
        task_function, task_definition = sys.argv[sys.argv.index("--task") + 1:sys.argv.index("--task") + 3]

    def symbol(base):
        found = [n for n in image.symbols if demangled_base(n) == base]
        if len(found) != 1:
            sys.exit(f"stack-bound: {len(found)} symbols named {base} in {elf}")
        return found[0]

    task_bytes, task_path = deepest(root(symbol(task_function)))
    task_stack = image.word_at(image.symbols[symbol(task_definition)][0] + 16) * 4  # stacksize, in words
    task_need = task_bytes + FP_FRAME

    # Reset_Handler is a few instructions of its own (it sets the stack pointer, then branches on).
    reset_frame, reset_callees, _ = machine_code_frame(image, "Reset_Handler")
    start_bytes, start_path = max(deepest(root(c)) for c in reset_callees)
    start_bytes += reset_frame
    start_path = ["Reset_Handler"] + start_path
    nested = []
    for h in handlers:
        b, p = deepest(root(h))
        nested.append((b + FP_FRAME, h, p))
    nested.sort(reverse=True)
    deepest_of_level = {}
    for b, h, p in nested:
        deepest_of_level.setdefault(PREEMPTION_LEVELS.get(h, 0), (b, h))
    chain = [deepest_of_level[level] for level in sorted(deepest_of_level, reverse=True)]
    handlers_bytes = sum(b for b, _ in chain)
    main_need = start_bytes + handlers_bytes
    main_stack = image.symbols["_Min_Stack_Size"][0]

    lines = [
        "| stack | bound | size | deepest path |",
        "| --- | --- | --- | --- |",
        f"| task ({task_function}) | {task_need} B = {task_bytes} + {FP_FRAME} (exception frame) | {task_stack} B | "
        f"{pretty(task_path)} |",
        f"| main (start-up + the deepest nesting) | {main_need} B = {start_bytes} + {handlers_bytes} | "
        f"{main_stack} B | {pretty(start_path)}; nested: {' -> '.join(demangled_base(h) for _, h in chain)} |",
        "",
        "The handlers on the main stack, each with its exception frame and preemption level:",
        "",
        "| handler | level | bytes | deepest path |",
        "| --- | --- | --- | --- |",
    ]
    lines += [f"| {demangled_base(h)} | {PREEMPTION_LEVELS.get(h, 0)} | {b} | {pretty(p)} |" for b, h, p in nested]
    print("\n".join(lines))
    if figures_file:
        pathlib.Path(figures_file).write_text(f"task_bound_bytes,{task_need}\ntask_stack_bytes,{task_stack}\n"
                                              f"main_bound_bytes,{main_need}\nmain_stack_bytes,{main_stack}\n")
    failed = False
    if task_need > task_stack:
        print(f"stack-bound: the task needs {task_need} bytes, its stack has {task_stack}", file=sys.stderr)
        failed = True
    if main_need > main_stack:
        print(f"stack-bound: the main stack needs {main_need} bytes, the reserve is {main_stack}", file=sys.stderr)
        failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
