"""What the gdb mode reads of an x86-64 thread: registers, memory, a
function's arguments on its first instruction (System V calling convention),
and the instructions of a region body, decoded from gdb's disassembly."""

import re

import gdb  # pylint: disable=import-error

# The integer arguments in registers; the 7th and later are on the stack,
# above the return address, on a function's first instruction.
ARGUMENT_REGISTERS = ("rdi", "rsi", "rdx", "rcx", "r8", "r9")


def register(name):
    return int(gdb.parse_and_eval("$" + name))


def read_memory(address, size, signed=False):
    data = gdb.selected_inferior().read_memory(address, size).tobytes()
    return int.from_bytes(data, "little", signed=signed)


def argument(position, size=8):
    """Integer argument POSITION (from 0), on a function's first instruction,
    as an unsigned integer of SIZE bytes."""
    if position < len(ARGUMENT_REGISTERS):
        return register(ARGUMENT_REGISTERS[position]) & ((1 << 8 * size) - 1)
    stack_slot = position - len(ARGUMENT_REGISTERS) + 1
    return read_memory(register("rsp") + 8 * stack_slot, size)


def return_address():
    """Where the function returns to, on its first instruction."""
    return read_memory(register("rsp"), 8)


def body_instructions(body):
    """The instructions that the body can reach from its entry, following
    every jump, as (address, text, length). Reading the code itself needs no
    symbol table, so a stripped binary is watched as well."""
    architecture = gdb.selected_frame().architecture()
    seen, starts = set(), [body]
    while starts:
        address = starts.pop()
        while address not in seen:
            seen.add(address)
            instruction = architecture.disassemble(address)[0]
            text = instruction["asm"].strip()
            yield address, text, instruction["length"]
            jump = re.match(r"(?:\w+\s+)?(j\w+)\s+(0x[0-9a-f]+)", text)
            if jump:
                starts.append(int(jump[2], 16))
            if re.match(r"(?:\w+\s+)?(jmp|ret|hlt|ud2)", text):
                break
            address += instruction["length"]


def width_of(mnemonic, operand):
    """The operation's width in bytes: from the mnemonic's suffix where gdb
    gives one (addl), else from the source register's name."""
    suffixes = {"b": 1, "w": 2, "l": 4, "q": 8}
    base = re.match(r"(xadd|add|sub|inc|dec)([bwlq]?)$", mnemonic)
    if base and base[2]:
        return suffixes[base[2]]
    name = (operand or "").lstrip("%")
    if re.fullmatch(r"r([a-d]x|[sd]i|[sb]p|\d+)", name):
        return 8
    if re.fullmatch(r"e([a-d]x|[sd]i|[sb]p)|r\d+d", name):
        return 4
    if re.fullmatch(r"[a-d]x|[sd]i|[sb]p|r\d+w", name):
        return 2
    return 1 if name else 4


def operand_value(operand, width):
    """An immediate or a register's value, as a signed integer of WIDTH
    bytes."""
    value = int(operand[1:], 0) if operand.startswith("$") else register(operand.lstrip("%"))
    value &= (1 << 8 * width) - 1
    return value - (1 << 8 * width) if value >> (8 * width - 1) else value


def memory_address(operand):
    comment = re.search(r"#\s*(0x[0-9a-f]+)", operand)
    if comment:  # rip-relative: gdb works out the address itself
        return int(comment[1], 16)
    found = re.match(r"(-?(?:0x)?[0-9a-f]*)\((%\w+)?(?:,(%\w+),(\d))?\)", operand.strip())
    displacement = int(found[1], 0) if found[1] not in ("", "-") else 0
    base = register(found[2][1:]) if found[2] else 0
    index = register(found[3][1:]) * int(found[4]) if found[3] else 0
    return displacement + base + index


def atomic_operation(mnemonic, operands):
    """(address written, integer added or None) of a lock-prefixed
    instruction about to run."""
    if "," in operands:
        source, destination = operands.split(",", 1)
    else:  # lock inc, lock dec
        source, destination = None, operands
    value = None
    if re.match(r"(add|xadd|sub)[bwlq]?$", mnemonic):
        value = operand_value(source, width_of(mnemonic, source))
        value = -value if mnemonic.startswith("sub") else value
    elif re.match(r"(inc|dec)[bwlq]?$", mnemonic):
        value = -1 if mnemonic.startswith("dec") else 1
    return memory_address(destination), value
