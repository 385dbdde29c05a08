// Linked with every object of the core and nothing else: it builds only
// while the core needs no widgets.
int main()
{
    return 0;
}
